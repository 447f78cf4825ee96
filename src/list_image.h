// Checking and describing a STOWPK.GBA image held in memory: the part of
// stowpak-list that never touches a file, so that it can be driven with
// any bytes at all.
#ifndef STOWPAK_LIST_IMAGE_H
#define STOWPAK_LIST_IMAGE_H

#include "image_layout.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One record whose lead and label lie within the image.
struct ListedRecord {
  int number; // 1 to MAX_RECORDS
  std::uint32_t
      offset; // where it lies: HEADER_SIZE + (number - 1) x RECORD_SIZE
  unsigned char lead[FIELD_SIZE];
  unsigned char label[FIELD_SIZE];
};

// What check_image found.
struct ImageReport {
  std::uint64_t size = 0;
  bool has_header = false;      // the image holds at least HEADER_SIZE bytes
  std::uint32_t count_word = 0; // as stored, valid or not
  std::vector<ListedRecord> records;
  std::vector<std::string> problems; // one line each, without a line feed
};

// Checks the image of `size` bytes whose first `held` bytes are at `data`
// (held is the smaller of size and at least MAX_IMAGE_SIZE: bytes past that
// are never needed) and fills `report`: its size, its count word, the
// records that can be read and one line per failed check. Reads nothing
// outside those `held` bytes, whatever they hold. Without a whole header,
// only `size` and `has_header` are set.
void check_image(const unsigned char *data, std::size_t held,
                 std::uint64_t size, ImageReport *report);

// Answers the text listing of `report` for the image at `path`: a line with
// the path, the count word and the size, then one line per record, each
// ending in a line feed. Labels are shown as this platform's console shows
// them.
std::string listing_text(const std::string &path, const ImageReport &report);

// Answers the JSON document for `report` (`path_utf8` is the image's path
// in UTF-8), ending in a line feed.
std::string listing_json(const std::string &path_utf8,
                         const ImageReport &report);

#endif
