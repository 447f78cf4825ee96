// A libFuzzer target for stowpak-list: checks any bytes as an image and
// writes both listings, under the address and undefined-behaviour
// sanitizers. scripts/fuzz.sh builds and runs it.
#include "list_image.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

// Checks the `size` bytes at `data` as a whole image and writes both
// listings; a sanitizer report or a crash is a finding.
void check_and_list(const std::uint8_t *data, std::size_t size) {
  ImageReport report;
  check_image(data, size, size, &report);
  if (!report.has_header)
    return;
  std::string text = listing_text("STOWPK.GBA", report);
  std::string json = listing_json("STOWPK.GBA", report);
  // Every listing has at least its first line or its document.
  if (text.empty() || json.empty())
    __builtin_trap();
}

} // namespace

// Checks the input as an image, then a copy of its first bytes, as many as
// its last three bytes say: an image cut anywhere, which the mutations of
// a large input rarely reach. The copy has a block of its own, so that a
// read past its end is seen. Always answers 0, as libFuzzer asks.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  check_and_list(data, size);
  if (size < 3)
    return 0;
  std::size_t cut = (static_cast<std::size_t>(data[size - 1]) |
                     static_cast<std::size_t>(data[size - 2]) << 8 |
                     static_cast<std::size_t>(data[size - 3]) << 16) %
                    size;
  std::unique_ptr<std::uint8_t[]> prefix(new std::uint8_t[cut]);
  std::memcpy(prefix.get(), data, cut);
  check_and_list(prefix.get(), cut);
  return 0;
}
