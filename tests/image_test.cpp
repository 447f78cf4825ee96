// The image: header, count word, offset table, records cut from the source
// files, and the closing record.
#include "harness.h"

#include <cstdio>
#include <sys/stat.h>

namespace {

// A source file of `size` bytes whose label (bytes 96 to 127) is `label`.
std::string with_label(std::size_t size, unsigned seed,
                       const std::string &label) {
  std::string file = pattern(std::max<std::size_t>(size, 128), seed);
  file.replace(96, 32, label);
  return file.substr(0, size);
}

class Image : public Workspace {
protected:
  void SetUp() override {
    Workspace::SetUp();
    write_file("HXQT.GBA", pattern(768, 40));
  }

  // Makes "root" hold just the files, as root/f00.bin, root/f01.bin, ...
  void write_sources(const std::vector<std::string> &files) {
    remove_path("root");
    make_dir("root");
    for (std::size_t i = 0; i < files.size(); ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "root/f%02zu.bin", i);
      write_file(name, files[i]);
    }
  }

  RunResult build(const std::vector<std::string> &files) {
    write_sources(files);
    return run();
  }

  // The progress lines for the first n files of build().
  static std::string progress(std::size_t n) {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < n; ++i) {
      char path[32];
      std::snprintf(path, sizeof path, "root/f%02zu.bin", i);
      paths.push_back(path);
    }
    return ::progress(paths);
  }
};

TEST_F(Image, WithNoRecordHoldsHeaderEndSlotAndClosingRecord) {
  RunResult r = build({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, banner() + "\ndone\n");
  std::string image = read_file("STOWPK.GBA");
  ASSERT_EQ(image.size(), 20864u);
  EXPECT_EQ(image.substr(0, 256), pattern(768, 40).substr(0, 256));
  EXPECT_EQ(word_at(image, 256), 0u); // the template's bytes are replaced
  EXPECT_EQ(image.substr(260, 252), pattern(768, 40).substr(260, 252));
  EXPECT_EQ(word_at(image, 512), 768u);
  EXPECT_EQ(image.substr(516), std::string(20864 - 516, '\0'));
}

TEST_F(Image, WithOneRecordHoldsItsFieldsInPlace) {
  std::string source = pattern(20160, 9);
  RunResult r = build({source});
  EXPECT_EQ(r.out, banner() + "\n" + progress(1) + "done\n");
  std::string image = read_file("STOWPK.GBA");
  ASSERT_EQ(image.size(), 40960u);
  EXPECT_EQ(word_at(image, 256), 1u);
  EXPECT_EQ(word_at(image, 512), 768u);
  EXPECT_EQ(word_at(image, 516), 20864u);
  EXPECT_EQ(image.substr(520, 248), std::string(248, '\0'));
  EXPECT_EQ(image.substr(768, 32), source.substr(64, 32));
  EXPECT_EQ(image.substr(800, 32), source.substr(96, 32)); // no NUL in it
  EXPECT_EQ(image.substr(832, 32), std::string(32, '\0'));
  EXPECT_EQ(image.substr(864, 20000), source.substr(160, 20000));
  EXPECT_EQ(image.substr(20864), std::string(20096, '\0'));
  EXPECT_EQ(image, expected_image(pattern(768, 40), {source}));
}

TEST_F(Image, HoldsAtMostSixtyThreeRecords) {
  std::vector<std::string> files;
  for (unsigned i = 0; i < 63; ++i)
    files.push_back(pattern(20160 + i, i));
  write_sources(files);
  // Files past the limit; the first would be reported if it were read.
  make_link("/proc/self/mem", "root/f63.bin");
  write_file("root/f64.bin", "");
  RunResult r = run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, banner() + "\n" + progress(63) + "done\n");
  std::string image = read_file("STOWPK.GBA");
  ASSERT_EQ(image.size(), 1286912u);
  EXPECT_EQ(word_at(image, 256), 63u);
  EXPECT_EQ(word_at(image, 512 + 4 * 62), 1246720u);
  EXPECT_EQ(word_at(image, 512 + 4 * 63), 1266816u);
  EXPECT_EQ(image, expected_image(pattern(768, 40), files));
}

TEST_F(Image, RecordNumberIsWrittenAtTheLabelsFirstNul) {
  const std::string tail = pattern(32, 77);
  struct Case {
    std::size_t record; // 1-based
    std::string label;  // 32 bytes, as in the source
    std::string expected;
  };
  auto at = [&](std::size_t i, const std::string &text) {
    std::string label = tail;
    label.replace(i, text.size(), text);
    return label;
  };
  const std::vector<Case> cases = {
      {1, at(0, std::string(1, '\0')), at(0, std::string("(01)\0", 5))},
      {5, at(0, std::string("ABC\0", 4)), at(0, std::string("ABC(05)\0", 8))},
      {12, at(0, std::string("A\0\0\0", 4)), at(0, std::string("A(12)\0", 6))},
      {63, at(27, std::string(1, '\0')), at(27, std::string("(63)\0", 5))},
      {2, at(28, std::string(1, '\0')), at(28, std::string(1, '\0'))},
      {3, at(31, std::string(1, '\0')), at(31, std::string(1, '\0'))},
      {4, tail, tail},
      {6, at(0, "\x82\xa0\x82\xa2"), at(0, "\x82\xa0\x82\xa2")},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.label));
    std::vector<std::string> files(c.record, pattern(200, 5));
    files.back() = with_label(200, 5, c.label);
    RunResult r = build(files);
    EXPECT_EQ(r.status, 0);
    std::string image = read_file("STOWPK.GBA");
    ASSERT_EQ(image.size(), 768 + (c.record + 1) * 20096);
    EXPECT_EQ(image.substr(768 + (c.record - 1) * 20096 + 32, 32), c.expected);
    EXPECT_EQ(image, expected_image(pattern(768, 40), files));
  }
}

TEST_F(Image, RecordDependsOnlyOnItsOwnFile) {
  // Each short file follows a full one: what it lacks must be zero, not
  // bytes of the file before it.
  const std::vector<std::size_t> sizes = {0,   1,   64,  95,  96,   100,
                                          127, 128, 160, 161, 20159};
  for (std::size_t size : sizes) {
    SCOPED_TRACE(size);
    std::vector<std::string> files = {pattern(24576, 1), pattern(size, 2),
                                      pattern(20160, 3), pattern(size, 4)};
    RunResult r = build(files);
    EXPECT_EQ(r.out, banner() + "\n" + progress(4) + "done\n");
    std::string image = read_file("STOWPK.GBA");
    EXPECT_EQ(image, expected_image(pattern(768, 40), files));
  }
}

TEST_F(Image, EmptyFirstFileGivesAZeroRecordWithItsNumber) {
  RunResult r = build({""});
  EXPECT_EQ(r.out, banner() + "\n" + progress(1) + "done\n");
  std::string image = read_file("STOWPK.GBA");
  ASSERT_EQ(image.size(), 40960u);
  std::string record = image.substr(768, 20096);
  EXPECT_EQ(record.substr(0, 32), std::string(32, '\0'));
  EXPECT_EQ(record.substr(32, 32),
            std::string("(01)", 4) + std::string(28, '\0'));
  EXPECT_EQ(record.substr(64), std::string(20032, '\0'));
}

TEST_F(Image, OnlyTheUsedRangesOfASourceFileCount) {
  // Files that differ only outside bytes 64-127 and 160-20159 give the same
  // record.
  std::string base = pattern(30000, 6);
  std::string other = base;
  for (std::size_t i : {0u, 63u, 128u, 159u, 20160u, 24575u, 24576u, 29999u})
    other[i] = static_cast<char>(~other[i]);
  write_sources({base});
  run();
  std::string first = read_file("STOWPK.GBA");
  write_sources({other});
  run();
  EXPECT_EQ(read_file("STOWPK.GBA"), first);
  EXPECT_EQ(first, expected_image(pattern(768, 40), {base}));
}

TEST_F(Image, HeaderIsTheTemplatesFirstBytesPaddedWithZero) {
  const std::vector<std::size_t> sizes = {0,   1,   100, 257, 258,
                                          511, 767, 768, 769, 5000};
  for (std::size_t size : sizes) {
    SCOPED_TRACE(size);
    std::string header = pattern(size, 90);
    write_file("HXQT.GBA", header);
    for (std::size_t records : {0u, 2u}) {
      std::vector<std::string> files(records, pattern(300, 1));
      RunResult r = build(files);
      EXPECT_EQ(r.out, banner() + "\n" + progress(records) + "done\n");
      EXPECT_EQ(read_file("STOWPK.GBA"), expected_image(header, files));
    }
  }
}

TEST_F(Image, EarlierImageIsReplacedWhole) {
  write_file("STOWPK.GBA", pattern(100000, 8));
  RunResult r = build({pattern(50, 1)});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file("STOWPK.GBA"),
            expected_image(pattern(768, 40), {pattern(50, 1)}));
  EXPECT_EQ(top_names(),
            (std::vector<std::string>{"HXQT.GBA", "STOWPK.GBA", "root"}));
}

TEST_F(Image, ImageGetsTheModeOfANewlyCreatedFile) {
  if (windows_target())
    GTEST_SKIP() << "Windows files have no mode to take";
  struct Case {
    mode_t umask;
    bool earlier_image;
    mode_t mode;
  };
  for (const Case &c : {Case{022, false, 0644}, Case{027, false, 0640},
                        Case{077, true, 0600}, Case{002, true, 0664}}) {
    SCOPED_TRACE(c.umask);
    remove_path("STOWPK.GBA");
    if (c.earlier_image) {
      write_file("STOWPK.GBA", "old");
      chmod(path("STOWPK.GBA").c_str(), 0604);
    }
    write_sources({pattern(10, 1)});
    RunOptions options;
    options.umask = c.umask;
    EXPECT_EQ(run(options).status, 0);
    struct stat sb;
    ASSERT_EQ(stat(path("STOWPK.GBA").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, c.mode);
  }
}

} // namespace
