// Names beyond ASCII: the order NTFS keeps, Japanese names and paths, and
// on Windows the names that the code page or path handling would turn into
// another name. Names are written here as UTF-8, as the file system holds
// them; narrow() gives the bytes the tool prints for them.
#include "harness.h"

#include <cstdio>

namespace {

class Names : public Workspace {
protected:
  void SetUp() override {
    Workspace::SetUp();
    write_file("HXQT.GBA", pattern(768, 21));
  }

  // Whether the code page holds every character of `utf8` as itself (names
  // here hold no '?' of their own).
  static bool held(const std::string &utf8) {
    return narrow(utf8).find('?') == std::string::npos;
  }
};

// A file below "root", by its path below it, and its bytes. `rewritten`:
// Windows path handling would open another entry for the path's first
// component.
struct Source {
  std::string path;
  std::string bytes;
  bool rewritten = false;
};

// The lines of a walk of `sources`, given in walk order, and the contents
// of the records it packs: a path with a component that the code page does
// not hold, or that Windows would rewrite, gets the line for that
// component, once, and nothing below it is taken.
void expect_walk(const std::vector<Source> &sources, std::string *lines,
                 std::vector<std::string> *packed) {
  std::string passed_over; // the component whose line was printed last
  std::vector<std::string> paths;
  for (const Source &source : sources) {
    std::string line, component;
    for (std::size_t end = source.path.find('/');;
         end = source.path.find('/', end + 1)) {
      std::string prefix = "root/" + source.path.substr(0, end);
      bool rewritten = source.rewritten && windows_target() &&
                       prefix.find('/', 5) == std::string::npos;
      if (rewritten || narrow(prefix).find('?') != std::string::npos) {
        line = "'" + narrow(prefix) + "' name not representable \n";
        component = prefix;
        break;
      }
      if (end == std::string::npos)
        break;
    }
    if (line.empty()) {
      paths.push_back(narrow("root/" + source.path));
      packed->push_back(source.bytes);
      char number[16];
      std::snprintf(number, sizeof number, "No.%02zu", paths.size());
      *lines += number + (" add file=" + paths.back()) + "\n";
    } else if (component != passed_over) {
      *lines += line;
    }
    passed_over = component;
  }
}

TEST_F(Names, JapaneseTreeIsPackedInNtfsOrder) {
  // In NTFS order: upcased UTF-16 units, so z before the kana, the kana
  // and kanji by their units, fullwidth letters after them, with a and A
  // folded together and A first. Several kanji and kana (so, hyo, no, ju,
  // yo) have 0x5C as their second byte in code page 932.
  const std::vector<Source> sources = {
      {"z.bin", pattern(300, 1)},
      {"\xe3\x80\x80x.bin", pattern(300, 2)}, // ideographic space
      {"\xe3\x81\x82.bin", pattern(300, 3)},  // a (hiragana)
      {"\xe3\x82\xa2.bin", pattern(300, 4)},  // a (katakana)
      {"\xe3\x82\xbd.bin", pattern(300, 5)},  // so
      {"\xe5\x8d\x81.bin", pattern(300, 6)},  // ju
      {"\xe8\x83\xbd\xe5\x8a\x9b/\xe4\xba\x88\xe5\xae\x9a.bin",
       pattern(300, 7)}, // noryoku/yotei
      {"\xe8\xa1\xa8\xe7\xa4\xba/\xe3\x82\xbd\xe3\x83\x95\xe3\x83\x88/"
       "\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf.bin",
       pattern(300, 8)},                       // hyoji/sofuto/deta
      {"\xef\xbc\xa1.bin", pattern(300, 9)},   // fullwidth A
      {"\xef\xbd\x81.bin", pattern(300, 10)},  // fullwidth a
      {"\xef\xbd\xb1.bin", pattern(300, 11)}}; // half-width katakana a
  for (std::size_t i = sources.size(); i-- > 0;)
    write_file("root/" + sources[i].path, sources[i].bytes);
  std::string lines;
  std::vector<std::string> packed;
  expect_walk(sources, &lines, &packed);
  EXPECT_EQ(build_lines(run()), lines);
  EXPECT_EQ(read_file("STOWPK.GBA"), expected_image(pattern(768, 21), packed));
}

TEST_F(Names, OrderIsTheOrderOfARealNtfsIndex) {
  if (std::system("command -v mkntfs >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "mkntfs is missing: apt-get install ntfs-3g";
  // Letters that Unicode's uppercase mapping gets wrong for NTFS (dotless
  // i, long s, final sigma, title-case DZ), case pairs, a character beyond
  // U+FFFF (two surrogate units, which sort before U+FF01), Japanese.
  const std::vector<std::string> names = {"a",
                                          "A",
                                          "_",
                                          "~",
                                          "\xc3\xa9",
                                          "\xc3\x89",
                                          "\xc3\x9f",
                                          "\xc4\xb1",
                                          "\xc5\x92",
                                          "\xc5\x93",
                                          "\xc5\xbf",
                                          "\xc7\x84",
                                          "\xc7\x85",
                                          "\xcf\x82",
                                          "\xe3\x81\x82",
                                          "\xe8\xa1\xa8",
                                          "\xf0\x9d\x92\x9c",
                                          "\xef\xbc\x81",
                                          "\xef\xbc\xa1",
                                          "\xef\xbd\x81",
                                          "\xef\xbd\xb1",
                                          "z.b"};
  std::string command = "'" STOWPAK_SOURCE_DIR "/scripts/ntfs-order.sh'";
  for (const std::string &name : names) {
    write_file("root/" + name, name);
    command += " '" + name + "'";
  }
  FILE *pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<Source> ntfs_order;
  char line[256];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string name(line);
    name.pop_back(); // its line feed
    ntfs_order.push_back({name, name});
  }
  ASSERT_EQ(pclose(pipe), 0);
  ASSERT_EQ(ntfs_order.size(), names.size());
  std::string lines;
  std::vector<std::string> packed;
  expect_walk(ntfs_order, &lines, &packed);
  EXPECT_EQ(build_lines(run()), lines);
}

TEST_F(Names, BytesThatAreNotUtf8SortAsEscapedUnits) {
  if (windows_target())
    GTEST_SKIP() << "Windows names are UTF-16, never bytes";
  // Each byte of an ill-formed sequence is the unit 0xDC00 + byte: after
  // e-acute (U+00C9 once upcased) and a surrogate pair (0xD835), before
  // U+FF01. A UTF-8 encoded surrogate is ill-formed too.
  const std::vector<std::string> sorted = {
      "e",    "\xc3\xa9",    "\xf0\x9d\x92\x9c", "\xe9", "\xed\xa0\x80",
      "\xff", "\xef\xbc\x81"};
  for (std::size_t i = sorted.size(); i-- > 0;)
    write_file("root/" + sorted[i], sorted[i]);
  std::vector<std::string> paths;
  for (const std::string &name : sorted)
    paths.push_back("root/" + name);
  EXPECT_EQ(build_lines(run()), progress(paths));
  EXPECT_EQ(read_file("STOWPK.GBA"), expected_image(pattern(768, 21), sorted));
}

TEST_F(Names, NamesThatWouldOpenAnotherEntryAreNeverOpened) {
  // Windows path handling strips a trailing dot or blank and opens a device
  // for a device name; a code page turns a character it lacks into '?' and
  // never into a look-alike. Each such entry gets a line on Windows and is
  // packed like any other name on POSIX.
  const std::vector<Source> sources = {
      {"a/b.bin", pattern(200, 1)},
      {"a ", pattern(200, 2), true},
      {"a.", pattern(200, 3), true},
      {"a\xc2\xa5"
       "b.bin",
       pattern(200, 4)}, // yen sign
      {"CON", pattern(200, 5), true},
      {"d/x.bin", pattern(200, 6)},
      {"d./y.bin", pattern(200, 7), true},
      {"e.bin", pattern(200, 8)},
      {"nul.txt", pattern(200, 9), true},
      {"\xc3\xa4.bin", pattern(200, 10)},      // a-umlaut
      {"\xc3\xa9.bin", pattern(200, 11)},      // e-acute
      {"\xe3\x80\x9c.bin", pattern(200, 12)},  // wave dash
      {"\xed\x95\x9c.bin", pattern(200, 13)}}; // hangul han
  for (const Source &source : sources)
    write_file("root/" + source.path, source.bytes);
  std::string lines;
  std::vector<std::string> packed;
  expect_walk(sources, &lines, &packed);
  EXPECT_EQ(build_lines(run()), lines);
  EXPECT_EQ(read_file("STOWPK.GBA"), expected_image(pattern(768, 21), packed));
}

TEST_F(Names, PathLengthCountsTheBytesOfThePrintedPath) {
  // root/<62 hyo>/x<62 hyo> is 255 bytes in code page 932 and 379 in
  // UTF-8; with "xy" it is 256 in code page 932. Hyo's second byte in code
  // page 932 is 0x5C.
  std::string hyo62;
  for (int i = 0; i < 62; ++i)
    hyo62 += "\xe8\xa1\xa8";
  const std::string dir = "root/" + hyo62;
  const std::string fits = dir + "/x" + hyo62;
  const std::string over = dir + "/xy" + hyo62;
  write_file(fits, "fits");
  write_file(over, "over");
  std::string expected;
  switch (windows_code_page()) {
  case 0: // UTF-8, three bytes a character: both are too long
    expected = "'" + over + "' path too long \n'" + fits + "' path too long \n";
    break;
  case 932:
    ASSERT_EQ(narrow(fits).size(), 255u);
    expected = "'" + narrow(over) +
               "' path too long \nNo.01 add file=" + narrow(fits) + "\n";
    break;
  default: // a code page without hyo
    expected = "'" + narrow(dir) + "' name not representable \n";
  }
  EXPECT_EQ(build_lines(run()), expected);
}

} // namespace
