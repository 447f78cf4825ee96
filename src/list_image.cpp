// Checking and describing an image held in memory. Every byte offset used
// here is compared with the bytes held before it is read: the count word
// and the table only ever decide what is compared, never where to read.
#include "list_image.h"

#include "list_platform.h"

#include <nlohmann/json.hpp>

#include <cstdarg>
#include <cstdio>
#include <cstring>

// ===========================================================================
// Checks
// ===========================================================================

// Answers the 32-bit little-endian word at `data`.
static std::uint32_t word_at(const unsigned char *data) {
  return static_cast<std::uint32_t>(data[0]) |
         static_cast<std::uint32_t>(data[1]) << 8 |
         static_cast<std::uint32_t>(data[2]) << 16 |
         static_cast<std::uint32_t>(data[3]) << 24;
}

// Appends a problem line, formatted as by printf, to `report`.
static void add_problem(ImageReport *report, const char *format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  // A longer line would be cut; every problem line is far shorter.
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  report->problems.push_back(line);
}

// Answers `n` bytes as printable ASCII, each other byte (and '\' and '"')
// written as \xNN.
static std::string ascii_or_escaped(const unsigned char *bytes, std::size_t n) {
  std::string text;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char c = bytes[i];
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      text += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      text += escape;
    }
  }
  return text;
}

// Answers how many records the layout is checked against: the count word
// when it is one the tool can write, else as many whole records as the
// file holds besides the closing one (0 to MAX_RECORDS).
static int records_in_use(std::uint32_t count_word, std::uint64_t size) {
  if (count_word <= static_cast<std::uint32_t>(MAX_RECORDS))
    return static_cast<int>(count_word);
  if (size < static_cast<std::uint64_t>(image_size_for(0)))
    return 0;
  std::uint64_t whole = (size - HEADER_SIZE) / RECORD_SIZE - 1;
  return whole > static_cast<std::uint64_t>(MAX_RECORDS)
             ? MAX_RECORDS
             : static_cast<int>(whole);
}

// Checks the label of `record`: where its first NUL lies within its first
// LABEL_SCAN_LIMIT bytes, the four bytes before it must be the record's own
// number suffix, "(NN)". Adds a problem to `report` when they are not.
static void check_suffix(const ListedRecord &record, ImageReport *report) {
  const unsigned char *nul = static_cast<const unsigned char *>(
      std::memchr(record.label, 0, LABEL_SCAN_LIMIT));
  if (nul == nullptr)
    return;
  std::size_t end = static_cast<std::size_t>(nul - record.label);
  char want[16];
  std::snprintf(want, sizeof want, "(%02d)", record.number);
  std::size_t start = end < 4 ? 0 : end - 4;
  if (end >= 4 && std::memcmp(record.label + start, want, 4) == 0)
    return;
  add_problem(
      report, "record %02d label suffix is \"%s\", want \"%s\"", record.number,
      ascii_or_escaped(record.label + start, end - start).c_str(), want);
}

void check_image(const unsigned char *data, std::size_t held,
                 std::uint64_t size, ImageReport *report) {
  *report = ImageReport();
  report->size = size;
  if (held > size)
    held = static_cast<std::size_t>(size);
  report->has_header = held >= static_cast<std::size_t>(HEADER_SIZE);
  if (!report->has_header)
    return;

  report->count_word = word_at(data + COUNT_OFFSET);
  if (report->count_word > static_cast<std::uint32_t>(MAX_RECORDS))
    add_problem(report, "count word holds %lu, want 0 to %d",
                static_cast<unsigned long>(report->count_word), MAX_RECORDS);
  const int records = records_in_use(report->count_word, size);

  const long long want_size = image_size_for(records);
  if (size != static_cast<std::uint64_t>(want_size))
    add_problem(report, "size is %llu bytes, want %lld",
                static_cast<unsigned long long>(size), want_size);

  for (int slot = 0; slot < TABLE_SLOTS; ++slot) {
    std::uint32_t found = word_at(data + TABLE_OFFSET + 4 * slot);
    std::uint32_t want =
        slot <= records
            ? static_cast<std::uint32_t>(HEADER_SIZE + slot * RECORD_SIZE)
            : 0;
    if (found != want)
      add_problem(report, "slot %d holds 0x%08lx, want 0x%08lx", slot,
                  static_cast<unsigned long>(found),
                  static_cast<unsigned long>(want));
  }

  for (int number = 1; number <= records; ++number) {
    std::size_t offset = static_cast<std::size_t>(HEADER_SIZE) +
                         static_cast<std::size_t>(number - 1) * RECORD_SIZE;
    if (offset + RECORD_LABEL_OFFSET + FIELD_SIZE > held)
      break;
    ListedRecord record;
    record.number = number;
    record.offset = static_cast<std::uint32_t>(offset);
    std::memcpy(record.lead, data + offset, FIELD_SIZE);
    std::memcpy(record.label, data + offset + RECORD_LABEL_OFFSET, FIELD_SIZE);
    check_suffix(record, report);
    report->records.push_back(record);
  }

  std::size_t closing = static_cast<std::size_t>(HEADER_SIZE) +
                        static_cast<std::size_t>(records) * RECORD_SIZE;
  std::size_t closing_end =
      closing + RECORD_SIZE < held ? closing + RECORD_SIZE : held;
  for (std::size_t at = closing; at < closing_end; ++at) {
    if (data[at] != 0) {
      add_problem(report, "closing record byte %d holds 0x%02x, want 0x00",
                  static_cast<int>(at - closing), data[at]);
      break;
    }
  }
}

// ===========================================================================
// Labels
// ===========================================================================

// One character of a label: its bytes, and its UTF-8 form when they decode.
struct LabelChar {
  std::size_t start;
  std::size_t length;
  bool decoded;
  std::string utf8;
};

// Answers the characters of `label` up to its first NUL. A byte that
// begins no whole Shift_JIS character is a character of its own that does
// not decode.
static std::vector<LabelChar> label_chars(const unsigned char *label) {
  const unsigned char *nul =
      static_cast<const unsigned char *>(std::memchr(label, 0, FIELD_SIZE));
  std::size_t end = nul != nullptr ? static_cast<std::size_t>(nul - label)
                                   : static_cast<std::size_t>(FIELD_SIZE);
  std::vector<LabelChar> chars;
  for (std::size_t i = 0; i < end;) {
    LabelChar c = {i, 1, false, std::string()};
    if (decode_label_char(label + i, 1, &c.utf8)) {
      c.decoded = true;
    } else if (i + 1 < end && decode_label_char(label + i, 2, &c.utf8)) {
      c.decoded = true;
      c.length = 2;
    }
    i += c.length;
    chars.push_back(c);
  }
  return chars;
}

// Answers whether the UTF-8 character `utf8` is a control character
// (U+0000 to U+001F, U+007F to U+009F).
static bool is_control(const std::string &utf8) {
  unsigned char first = static_cast<unsigned char>(utf8[0]);
  if (utf8.size() == 1)
    return first < 0x20 || first == 0x7F;
  return utf8.size() == 2 && first == 0xC2 &&
         static_cast<unsigned char>(utf8[1]) < 0xA0;
}

// Answers `label` up to its first NUL as the console shows it: each
// character that decodes and that the console can show as itself, every
// other byte (and each control character and '\') as \xNN.
static std::string label_for_console(const unsigned char *label) {
  std::string text;
  for (const LabelChar &c : label_chars(label)) {
    std::string shown;
    if (c.decoded && !is_control(c.utf8) && c.utf8 != "\\" &&
        console_char(label + c.start, c.length, c.utf8, &shown)) {
      text += shown;
      continue;
    }
    for (std::size_t i = 0; i < c.length; ++i) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", label[c.start + i]);
      text += escape;
    }
  }
  return text;
}

// Answers `n` bytes as lowercase hex digits.
static std::string hex(const unsigned char *bytes, std::size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < n; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0xF];
  }
  return text;
}

// ===========================================================================
// Listings
// ===========================================================================

std::string listing_text(const std::string &path, const ImageReport &report) {
  char line[96];
  std::snprintf(line, sizeof line, ": count %lu, %llu bytes\n",
                static_cast<unsigned long>(report.count_word),
                static_cast<unsigned long long>(report.size));
  std::string text = path + line;
  for (const ListedRecord &record : report.records) {
    std::snprintf(line, sizeof line, "%02d 0x%08lx ", record.number,
                  static_cast<unsigned long>(record.offset));
    text += line + label_for_console(record.label) + "\n";
  }
  return text;
}

std::string listing_json(const std::string &path_utf8,
                         const ImageReport &report) {
  nlohmann::ordered_json records = nlohmann::ordered_json::array();
  for (const ListedRecord &record : report.records) {
    nlohmann::ordered_json label; // null unless every character decodes
    std::string text;
    bool decodes = true;
    for (const LabelChar &c : label_chars(record.label)) {
      decodes = decodes && c.decoded;
      text += c.utf8;
    }
    if (decodes)
      label = text;
    records.push_back({{"number", record.number},
                       {"offset", record.offset},
                       {"label", label},
                       {"label_hex", hex(record.label, FIELD_SIZE)},
                       {"lead_hex", hex(record.lead, FIELD_SIZE)}});
  }
  nlohmann::ordered_json document = {{"path", path_utf8},
                                     {"size", report.size},
                                     {"count", report.count_word},
                                     {"records", records},
                                     {"problems", report.problems}};
  return document.dump(2, ' ', false,
                       nlohmann::ordered_json::error_handler_t::replace) +
         "\n";
}
