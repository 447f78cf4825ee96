// stowpak-list, the reader: listing and checking images the tool builds,
// images broken on purpose, files that are no image, and its command line.
#include "harness.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <functional>
#include <sys/stat.h>

namespace {

using nlohmann::json;

const std::size_t RECORD = 20096;
const std::size_t FIRST_RECORD = 768;

// The template every image here is built from.
std::string header() { return pattern(768, 40); }

// A 300-byte source file whose label (bytes 96 to 127) is `label`, padded
// with NULs to 32 bytes.
std::string with_label(const std::string &label, unsigned seed) {
  std::string file = pattern(300, seed);
  std::string field = label.substr(0, 32);
  field.resize(32, '\0');
  file.replace(96, 32, field);
  return file;
}

// The offset of record `number` (1, 2, ...).
std::size_t record_offset(int number) {
  return FIRST_RECORD + static_cast<std::size_t>(number - 1) * RECORD;
}

// The first line of a listing.
std::string head_line(const std::string &path, unsigned long count,
                      std::size_t size) {
  char line[128];
  std::snprintf(line, sizeof line, ": count %lu, %zu bytes\n", count, size);
  return path + line;
}

// The listing line of record `number` whose label shows as `shown`.
std::string record_line(int number, const std::string &shown) {
  char line[32];
  std::snprintf(line, sizeof line, "%02d 0x%08zx ", number,
                record_offset(number));
  return line + shown + "\n";
}

std::string hex(const std::string &bytes) {
  std::string text;
  char digits[3];
  for (char c : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(c));
    text += digits;
  }
  return text;
}

// The JSON record for record `number` of `image`, with `label` as its text.
json json_record(const std::string &image, int number, const json &label) {
  std::size_t offset = record_offset(number);
  return {{"number", number},
          {"offset", offset},
          {"label", label},
          {"label_hex", hex(image.substr(offset + 32, 32))},
          {"lead_hex", hex(image.substr(offset, 32))}};
}

// The number suffix the tool writes into record `number`'s label.
std::string suffix(int number) {
  char text[16];
  std::snprintf(text, sizeof text, "(%02d)", number);
  return text;
}

void set_word(std::string &image, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    image[offset + i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

// The lines of `text`, without their line feeds.
std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

class Reader : public Workspace {
protected:
  // Builds STOWPK.GBA with the tool from `sources` (as root/f00.bin, ...),
  // checks that it is the image the tool must write, and answers it.
  std::string build(const std::vector<std::string> &sources) {
    write_file("HXQT.GBA", header());
    remove_path("root");
    make_dir("root");
    for (std::size_t i = 0; i < sources.size(); ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "root/f%02zu.bin", i);
      write_file(name, sources[i]);
    }
    RunResult r = run();
    EXPECT_EQ(r.status, 0) << r.out;
    std::string image = read_file("STOWPK.GBA");
    EXPECT_EQ(image, expected_image(header(), sources));
    return image;
  }

  RunResult list(std::vector<std::string> args = {}, RunOptions options = {}) {
    options.program = Program::Reader;
    options.args = std::move(args);
    return run(options);
  }

  // Runs the reader with --json and answers the document it printed.
  json list_json(std::vector<std::string> args = {}) {
    args.insert(args.begin(), "--json");
    last_ = list(args);
    return json::parse(last_.out);
  }

  // Checks that STOWPK.GBA lists as `text` and as the JSON `records`, and
  // is well formed.
  void expect_well_formed(const std::string &text, const json &records) {
    RunResult r = list();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, text);
    json document = list_json();
    EXPECT_EQ(last_.status, 0);
    EXPECT_EQ(document["records"], records);
  }

  RunResult last_;
};

// ===========================================================================
// Images the tool builds
// ===========================================================================

TEST_F(Reader, ListsImagesTheToolBuildsAndFindsThemWellFormed) {
  // Labels whose first NUL lies at 0, 23 and 27 get the suffix (its NUL at
  // 4, 27 and 31); one whose NUL lies at 28, or that has none, is kept.
  const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdef";
  for (int count : {0, 1, 63}) {
    SCOPED_TRACE(count);
    std::vector<std::string> sources;
    std::vector<std::string> labels; // as listed
    for (int i = 0; i < count; ++i) {
      std::string suffixed = suffix(i + 1);
      switch (i % 5) {
      case 0:
        sources.push_back(with_label("Stage " + std::to_string(i), i));
        labels.push_back("Stage " + std::to_string(i) + suffixed);
        break;
      case 1:
        sources.push_back(with_label("", i));
        labels.push_back(suffixed);
        break;
      case 2:
        sources.push_back(with_label(letters.substr(0, 23), i));
        labels.push_back(letters.substr(0, 23) + suffixed);
        break;
      case 3:
        sources.push_back(with_label(letters.substr(0, 27), i));
        labels.push_back(letters.substr(0, 27) + suffixed);
        break;
      case 4:
        sources.push_back(with_label(letters.substr(0, i % 2 ? 28 : 32), i));
        labels.push_back(letters.substr(0, i % 2 ? 28 : 32));
        break;
      }
    }
    std::string image = build(sources);
    std::vector<std::string> before = top_names();

    RunResult r = list();
    std::string text = head_line("STOWPK.GBA", count, image.size());
    for (int i = 0; i < count; ++i)
      text += record_line(i + 1, labels[i]);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, text);

    json document = list_json();
    json records = json::array();
    for (int i = 0; i < count; ++i)
      records.push_back(json_record(image, i + 1, labels[i]));
    json expected = {{"path", "STOWPK.GBA"},
                     {"size", image.size()},
                     {"count", count},
                     {"records", records},
                     {"problems", json::array()}};
    EXPECT_EQ(last_.status, 0);
    EXPECT_EQ(last_.err, "");
    EXPECT_EQ(document, expected);
    EXPECT_EQ(top_names(), before); // the reader writes nothing
  }
}

TEST_F(Reader, ShowsJapaneseLabelsInTheConsolesEncoding) {
  struct Label {
    std::string shift_jis;
    std::string utf8;
    std::string shown_in_1252; // where code page 1252 cannot show them
  };
  const std::vector<Label> labels = {
      {"\x83\x58\x83\x65\x81\x5b\x83\x57", "ステージ",
       "\\x83\\x58\\x83\\x65\\x81\\x5b\\x83\\x57"},
      // A second byte of 0x5c is part of the character, not a '\'.
      {"\x95\x5c\x8e\xa6", "表示", "\\x95\\x5c\\x8e\\xa6"},
      {"\xb1\xb2\xb3", "ｱｲｳ", "\\xb1\\xb2\\xb3"},
      {"Stage\x82\xa0", "Stageあ", "Stage\\x82\\xa0"}};
  std::vector<std::string> sources;
  for (std::size_t i = 0; i < labels.size(); ++i)
    sources.push_back(with_label(labels[i].shift_jis, i));
  std::string image = build(sources);

  std::string text = head_line("STOWPK.GBA", labels.size(), image.size());
  json records = json::array();
  for (std::size_t i = 0; i < labels.size(); ++i) {
    const Label &label = labels[i];
    int number = static_cast<int>(i) + 1;
    std::string shown = !windows_target()            ? label.utf8
                        : windows_code_page() == 932 ? label.shift_jis
                                                     : label.shown_in_1252;
    text += record_line(number, shown + suffix(number));
    records.push_back(json_record(image, number, label.utf8 + suffix(number)));
  }
  expect_well_formed(text, records);
}

TEST_F(Reader, ShowsControlAndUndecodableBytesEscaped) {
  struct Label {
    std::string bytes;
    std::string shown;
    json text; // null: it does not decode
  };
  const std::vector<Label> labels = {
      {"A\x01"
       "B",
       "A\\x01B",
       "A\x01"
       "B"},
      {"line\nfeed\r", "line\\x0afeed\\x0d", "line\nfeed\r"},
      {"\x1b[2J", "\\x1b[2J", "\x1b[2J"},
      {"del\x7f", "del\\x7f", "del\x7f"},
      {"back\\slash", "back\\x5cslash", "back\\slash"},
      // A first byte of a pair, then '(' of the suffix, which cannot follow.
      {"\x81", "\\x81", nullptr},
      {"\x82 x", "\\x82 x", nullptr},
      {"\x80\xa0\xfd\xfe\xff", "\\x80\\xa0\\xfd\\xfe\\xff", nullptr}};
  std::vector<std::string> sources;
  for (std::size_t i = 0; i < labels.size(); ++i)
    sources.push_back(with_label(labels[i].bytes, i));
  std::string image = build(sources);

  std::string text = head_line("STOWPK.GBA", labels.size(), image.size());
  json records = json::array();
  for (std::size_t i = 0; i < labels.size(); ++i) {
    int number = static_cast<int>(i) + 1;
    text += record_line(number, labels[i].shown + suffix(number));
    json label = labels[i].text.is_null()
                     ? json(nullptr)
                     : json(labels[i].text.get<std::string>() + suffix(number));
    records.push_back(json_record(image, number, label));
  }
  expect_well_formed(text, records);
}

// ===========================================================================
// Broken images
// ===========================================================================

TEST_F(Reader, ReportsEachBrokenPartOnItsOwnLine) {
  const std::string image = build({with_label("one", 1), with_label("two", 2)});
  ASSERT_EQ(image.size(), 61056u);
  const std::string one = record_line(1, "one(01)");
  const std::string two = record_line(2, "two(02)");
  char closing_lead[64];
  std::snprintf(closing_lead, sizeof closing_lead,
                "closing record byte 0 holds 0x%02x, want 0x00\n",
                static_cast<unsigned char>(image[record_offset(2)]));
  auto label_of = [](int number) { return record_offset(number) + 32; };

  struct Case {
    const char *what;
    std::function<void(std::string &)> change;
    std::string problems;
    unsigned long count; // as the listing shows it
    std::string records; // the listing's record lines
  };
  const std::vector<Case> cases = {
      {"truncated in the first record", [](std::string &b) { b.resize(20000); },
       "size is 20000 bytes, want 61056\n", 2, one},
      {"truncated to the header", [](std::string &b) { b.resize(768); },
       "size is 768 bytes, want 61056\n", 2, ""},
      {"truncated in a label",
       [&](std::string &b) { b.resize(label_of(2) + 31); },
       "size is 20927 bytes, want 61056\n", 2, one},
      {"truncated in the closing record",
       [](std::string &b) { b.resize(50000); },
       "size is 50000 bytes, want 61056\n", 2, one + two},
      {"one byte too long", [](std::string &b) { b += '\0'; },
       "size is 61057 bytes, want 61056\n", 2, one + two},
      {"count word 64", [](std::string &b) { set_word(b, 256, 64); },
       "count word holds 64, want 0 to 63\n", 64, one + two},
      {"count word -1", [](std::string &b) { set_word(b, 256, 0xFFFFFFFF); },
       "count word holds 4294967295, want 0 to 63\n", 4294967295ul, one + two},
      {"count word one too high", [](std::string &b) { set_word(b, 256, 3); },
       "size is 61056 bytes, want 81152\n"
       "slot 3 holds 0x00000000, want 0x0000ee80\n"
       "record 03 label suffix is \"\", want \"(03)\"\n",
       3, one + two + record_line(3, "")},
      {"count word one too low", [](std::string &b) { set_word(b, 256, 1); },
       "size is 61056 bytes, want 40960\n"
       "slot 2 holds 0x0000a000, want 0x00000000\n" +
           std::string(closing_lead),
       1, one},
      {"a wrong slot", [](std::string &b) { set_word(b, 516, 0x5181); },
       "slot 1 holds 0x00005181, want 0x00005180\n", 2, one + two},
      {"no end slot", [](std::string &b) { set_word(b, 520, 0); },
       "slot 2 holds 0x00000000, want 0x0000a000\n", 2, one + two},
      {"a later slot set", [](std::string &b) { set_word(b, 764, 1); },
       "slot 63 holds 0x00000001, want 0x00000000\n", 2, one + two},
      {"a closing record not zero",
       [](std::string &b) { b[b.size() - 1] = '\xff'; },
       "closing record byte 20095 holds 0xff, want 0x00\n", 2, one + two},
      {"a missing suffix",
       [&](std::string &b) { b.replace(label_of(2) + 3, 4, 4, '\0'); },
       "record 02 label suffix is \"two\", want \"(02)\"\n", 2,
       one + record_line(2, "two")},
      {"a wrong suffix", [&](std::string &b) { b[label_of(2) + 4] = '1'; },
       "record 02 label suffix is \"(12)\", want \"(02)\"\n", 2,
       one + record_line(2, "two(12)")},
      {"an empty label",
       [&](std::string &b) { b.replace(label_of(1), 32, 32, '\0'); },
       "record 01 label suffix is \"\", want \"(01)\"\n", 2,
       record_line(1, "") + two},
      {"a suffix of odd bytes",
       [&](std::string &b) { b.replace(label_of(1), 5, "\x81\x01\\\"\0", 5); },
       "record 01 label suffix is \"\\x81\\x01\\x5c\\x22\", want \"(01)\"\n", 2,
       record_line(1, "\\x81\\x01\\x5c\"") + two},
      {"several faults, in the image's order",
       [](std::string &b) {
         b[b.size() - 2] = 1;
         set_word(b, 532, 7);
         set_word(b, 256, 70);
       },
       "count word holds 70, want 0 to 63\n"
       "slot 5 holds 0x00000007, want 0x00000000\n"
       "closing record byte 20094 holds 0x01, want 0x00\n",
       70, one + two},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string broken = image;
    c.change(broken);
    write_file("STOWPK.GBA", broken);
    RunResult r = list();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.problems);
    EXPECT_EQ(r.out,
              head_line("STOWPK.GBA", c.count, broken.size()) + c.records);

    json document = list_json();
    EXPECT_EQ(last_.status, 1);
    EXPECT_EQ(last_.err, c.problems);
    EXPECT_EQ(document["problems"], json(lines_of(c.problems)));
    EXPECT_EQ(document["size"], broken.size());
    EXPECT_EQ(document["count"], c.count);
    EXPECT_EQ(document["records"].size(), lines_of(c.records).size());
  }
}

TEST_F(Reader, RefusesWhatIsNoImage) {
  struct Case {
    const char *what;
    std::function<void()> make;
    std::string err;
    RunOptions options;
  };
  std::vector<Case> cases = {
      {"a missing file", [] {}, "stowpak-list: STOWPK.GBA: no such file\n", {}},
      {"an empty file",
       [this] { write_file("STOWPK.GBA", ""); },
       "stowpak-list: STOWPK.GBA: 0 bytes, shorter than a 768-byte header\n",
       {}},
      {"a file shorter than a header",
       [this] { write_file("STOWPK.GBA", header().substr(0, 767)); },
       "stowpak-list: STOWPK.GBA: 767 bytes, shorter than a 768-byte header\n",
       {}},
      {"a folder",
       [this] { make_dir("STOWPK.GBA"); },
       "stowpak-list: STOWPK.GBA: not a regular file\n",
       {}},
      {"a file that cannot be opened",
       [this] {
         write_file("STOWPK.GBA", std::string(20864, '\0'));
         chmod(path("STOWPK.GBA").c_str(), 0);
       },
       "stowpak-list: STOWPK.GBA: cannot be opened\n", unprivileged()},
  };
  if (!windows_target())
    cases.push_back({"a pipe without a writer",
                     [this] { make_fifo("STOWPK.GBA"); },
                     "stowpak-list: STOWPK.GBA: not a regular file\n",
                     {}});
  for (Case &c : cases) {
    SCOPED_TRACE(c.what);
    remove_path("STOWPK.GBA");
    c.make();
    c.options.timeout_seconds = 10;
    for (bool as_json : {false, true}) {
      RunResult r = list(as_json ? std::vector<std::string>{"--json"}
                                 : std::vector<std::string>{},
                         c.options);
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, c.err);
    }
  }
}

// ===========================================================================
// Command line
// ===========================================================================

TEST_F(Reader, HelpAndVersion) {
  const std::string help =
      "Usage: stowpak-list [--json] [IMAGE]\n"
      "Lists the records of a stowpak image (default STOWPK.GBA) and checks\n"
      "its layout; each problem found is one line on standard error.\n"
      "  --json      print one JSON document instead of the listing\n"
      "  -h, --help  print this text\n"
      "  --version   print the version\n"
      "Exit status: 0 well formed, 1 problems found, 2 not readable or bad "
      "usage.\n";
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"-h"}, help},
      {{"--help"}, help},
      {{"--json", "missing.gba", "--help"}, help},
      {{"--version"}, "stowpak-list " STOWPAK_VERSION "\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    RunResult r = list(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, c.out);
  }
}

TEST_F(Reader, RejectsOtherOptionsAndASecondImage) {
  const std::string usage = "Usage: stowpak-list [--json] [IMAGE]\n";
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"-x"}, "stowpak-list: unknown option -x\n"},
      {{"--JSON"}, "stowpak-list: unknown option --JSON\n"},
      {{"-"}, "stowpak-list: unknown option -\n"},
      {{"-?"}, "stowpak-list: unknown option -?\n"},
      {{"--bogus", "--help"}, "stowpak-list: unknown option --bogus\n"},
      {{"a.gba", "b.gba"}, "stowpak-list: more than one image: b.gba\n"},
      {{"--", "a.gba", "-h"}, "stowpak-list: more than one image: -h\n"},
  };
  write_file("a.gba", header());
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    RunResult r = list(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err + usage);
  }
}

TEST_F(Reader, ListsTheImageItIsGiven) {
  const std::string image = build({with_label("one", 1)});
  write_file("other.gba", image);
  write_file("-x", image);
  remove_path("STOWPK.GBA");
  struct Case {
    std::vector<std::string> args;
    std::string path;
  };
  const std::vector<Case> cases = {{{"other.gba"}, "other.gba"},
                                   {{"--", "-x"}, "-x"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    RunResult r = list(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              head_line(c.path, 1, image.size()) + record_line(1, "one(01)"));
    json document = list_json(c.args);
    EXPECT_EQ(last_.status, 0);
    EXPECT_EQ(document["path"], c.path);
  }
}

} // namespace
