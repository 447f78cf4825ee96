// Builds that fail: no memory, no template, no way to write the image, and
// source files that cannot be opened or read. A build that writes no image
// exits with status 2 and leaves an earlier image as it was.
#include "harness.h"

#include <functional>
#include <map>
#include <set>
#include <sys/stat.h>

namespace {

const std::string EARLIER = "an image from an earlier run\n";

class FailedBuild : public Workspace {
protected:
  void SetUp() override {
    Workspace::SetUp();
    write_file("HXQT.GBA", pattern(768, 3));
    write_file("root/a.bin", pattern(20160, 1));
    write_file("STOWPK.GBA", EARLIER);
  }

  // Answers the run's stdout with location lines normalised, after checking
  // that it starts with the banner.
  std::string body(const RunResult &r) {
    EXPECT_EQ(r.out.substr(0, banner().size() + 1), banner() + "\n");
    return without_line_numbers(r.out.substr(banner().size() + 1));
  }

  // Checks that the earlier image is intact and that nothing else was left
  // in the workspace.
  void expect_earlier_image_kept() {
    EXPECT_EQ(read_file("STOWPK.GBA"), EARLIER);
    expect_no_leftovers();
  }

  // Checks that the workspace holds nothing but what the test made.
  void expect_no_leftovers() {
    for (const std::string &name : top_names())
      EXPECT_TRUE(name == "HXQT.GBA" || name == "STOWPK.GBA" || name == "root")
          << name << " was left behind";
  }
};

// The sizes the tool asks for: the image buffer (1,573,632 bytes) as one
// whole 2 MiB huge page, the source buffer as it is.
const std::size_t IMAGE_BUFFER_REQUEST = 2097152;
const std::size_t SOURCE_BUFFER_REQUEST = 24576;

RunOptions failing_allocation(std::size_t size) {
  return with_faults({"STOWPAK_FAIL_ALLOC=" + std::to_string(size)});
}

TEST_F(FailedBuild, EachBufferThatCannotBeObtainedIsReportedAtItsOwnLine) {
  if (sanitized_target())
    GTEST_SKIP() << "the sanitizer's allocator cannot be made to fail";
  if (windows_target())
    GTEST_SKIP() << "the fault library loads into Linux builds only";
  // The control run shows that the log sees every path the tool opens.
  const std::string log = base_ + "/opened";
  RunOptions control = failing_allocation(0);
  control.env.push_back("STOWPAK_OPEN_LOG=" + log);
  ASSERT_EQ(run(control).status, 0);
  const std::string opened = slurp_file(log);
  EXPECT_EQ(opened.substr(0, 9), "HXQT.GBA\n") << opened;
  EXPECT_NE(opened.find("\nroot/a.bin\nSTOWPK.GBA\n"), std::string::npos)
      << opened;
  unlink(log.c_str());
  write_file("STOWPK.GBA", EARLIER);

  std::vector<std::vector<int>> locations;
  for (std::size_t size : {IMAGE_BUFFER_REQUEST, SOURCE_BUFFER_REQUEST}) {
    SCOPED_TRACE(size);
    RunOptions options = failing_allocation(size);
    options.env.push_back("STOWPAK_OPEN_LOG=" + log);
    RunResult r = run(options);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(body(r), LOCATION + MEMORY_ERROR + "done\n");
    EXPECT_EQ(slurp_file(log), "") << "files were opened";
    expect_earlier_image_kept();
    locations.push_back(location_numbers(r.out));
  }
  EXPECT_NE(locations[0], locations[1]);
}

TEST_F(FailedBuild, TemplateThatCannotBeOpenedStopsTheBuild) {
  // A walk would report this "root": no such line shows that none ran.
  remove_path("root/a.bin");
  remove_path("root");
  write_file("root", "not a directory");

  remove_path("HXQT.GBA");
  RunResult missing = run();
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(body(missing), LOCATION + OPEN_ERROR + "HXQT.GBA\n" + LOCATION +
                               PREPARE_ERROR + "done\n");
  expect_earlier_image_kept();

  make_dir("HXQT.GBA");
  RunResult directory = run();
  EXPECT_EQ(directory.status, 2);
  EXPECT_EQ(directory.out, missing.out);
  expect_earlier_image_kept();

  // A pipe is not read, so nothing waits for a writer.
  remove_path("HXQT.GBA");
  make_fifo("HXQT.GBA");
  RunOptions no_wait;
  no_wait.timeout_seconds = 10;
  RunResult pipe = run(no_wait);
  EXPECT_EQ(pipe.status, 2);
  EXPECT_EQ(pipe.out, missing.out);
  expect_earlier_image_kept();

  remove_path("HXQT.GBA");
  write_file("HXQT.GBA", pattern(768, 3));
  chmod(path("HXQT.GBA").c_str(), 0);
  RunResult unreadable = run(unprivileged());
  EXPECT_EQ(unreadable.status, 2);
  EXPECT_EQ(unreadable.out, missing.out);
  expect_earlier_image_kept();
}

TEST_F(FailedBuild, TemplateThatCannotBeReadStopsTheBuild) {
  remove_path("HXQT.GBA");
  make_link("/proc/self/mem", "HXQT.GBA"); // opens, but reading 0 fails
  RunResult r = run();
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(body(r), LOCATION + READ_ERROR + "HXQT.GBA\n" + LOCATION +
                         PREPARE_ERROR + "done\n");
  expect_earlier_image_kept();
}

TEST_F(FailedBuild, ImageThatCannotBeOpenedForWritingIsLeftAlone) {
  struct Case {
    const char *what;
    std::function<void()> arrange;
    bool unprivileged;
  };
  std::vector<Case> cases = {
      {"a directory",
       [&] {
         remove_path("STOWPK.GBA");
         make_dir("STOWPK.GBA");
       },
       false},
      {"a read-only file", [&] { chmod(path("STOWPK.GBA").c_str(), 0444); },
       true},
      {"none yet, in a read-only folder",
       [&] {
         remove_path("STOWPK.GBA");
         chmod(dir_.c_str(), 0555);
       },
       true},
      {"a pipe without a reader",
       [&] {
         remove_path("STOWPK.GBA");
         make_fifo("STOWPK.GBA");
       },
       false},
  };
  // Windows keeps a read-only file even from a user who may write it.
  if (windows_target())
    cases.push_back({"a read-only file, as an administrator",
                     [&] { chmod(path("STOWPK.GBA").c_str(), 0444); }, false});
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    RunOptions options;
    options.unprivileged = c.unprivileged;
    RunResult r = run(options);
    chmod(dir_.c_str(), 0755);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(body(r), "No.01 add file=root/a.bin\n" + LOCATION + OPEN_ERROR +
                           "STOWPK.GBA\n" + LOCATION + FINISH_ERROR + "done\n");
    expect_no_leftovers();
    struct stat sb;
    if (lstat(path("STOWPK.GBA").c_str(), &sb) == 0 && S_ISREG(sb.st_mode)) {
      EXPECT_EQ(read_file("STOWPK.GBA"), EARLIER);
    }
    remove_path("STOWPK.GBA");
    write_file("STOWPK.GBA", EARLIER);
  }
}

TEST_F(FailedBuild, ImageWriteThatFailsKeepsTheEarlierImage) {
  // The new image is 40,960 bytes; the limit stops it part way.
  for (long limit : {0L, 4096L, 40959L}) {
    SCOPED_TRACE(limit);
    RunOptions options;
    options.file_size_limit = limit;
    RunResult r = run(options);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(body(r), "No.01 add file=root/a.bin\n" + LOCATION + WRITE_ERROR +
                           "STOWPK.GBA\n" + LOCATION + FINISH_ERROR + "done\n");
    expect_earlier_image_kept();
  }
}

TEST_F(FailedBuild, SourceFileThatCannotBeOpenedGetsNoRecordNorNumber) {
  write_file("root/b.bin", pattern(500, 2));
  write_file("root/c.bin", pattern(20160, 3));
  chmod(path("root/b.bin").c_str(), 0);
  RunResult r = run(unprivileged());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(body(r), "No.01 add file=root/a.bin\n" + LOCATION + OPEN_ERROR +
                         "root/b.bin\nNo.02 add file=root/c.bin\ndone\n");
  std::string image = read_file("STOWPK.GBA");
  EXPECT_EQ(image.size(), 61056u);
  EXPECT_EQ(word_at(image, 512 + 8), 40960u);
  EXPECT_EQ(image, expected_image(pattern(768, 3),
                                  {pattern(20160, 1), pattern(20160, 3)}));
}

TEST_F(FailedBuild, SourceFileThatCannotBeReadGetsNoRecordNorNumber) {
  make_link("/proc/self/mem", "root/b.bin"); // opens, but reading 0 fails
  write_file("root/c.bin", pattern(700, 3));
  RunResult r = run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(body(r), "No.01 add file=root/a.bin\n" + LOCATION + READ_ERROR +
                         "root/b.bin\nNo.02 add file=root/c.bin\ndone\n");
  EXPECT_EQ(
      read_file("STOWPK.GBA"),
      expected_image(pattern(768, 3), {pattern(20160, 1), pattern(700, 3)}));
}

TEST_F(FailedBuild, EveryReportHasItsOwnLocation) {
  // The location line of each kind of report, and of the build run's own
  // report after a failed template load and after a failed write.
  std::map<std::string, int> line;
  auto take = [&](const RunResult &r, std::vector<std::string> names) {
    std::vector<int> numbers = location_numbers(r.out);
    ASSERT_EQ(numbers.size(), names.size()) << r.out;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (line.count(names[i]) != 0) {
        EXPECT_EQ(line[names[i]], numbers[i]) << names[i];
      }
      line[names[i]] = numbers[i];
    }
  };
  if (!sanitized_target() && !windows_target()) {
    take(run(failing_allocation(IMAGE_BUFFER_REQUEST)), {"image buffer"});
    take(run(failing_allocation(SOURCE_BUFFER_REQUEST)), {"source buffer"});
  }

  make_link("/proc/self/mem", "root/b.bin");
  write_file("root/c.bin", "");
  chmod(path("root/c.bin").c_str(), 0);
  take(run(unprivileged()), {"source read", "source open"});
  remove_path("root/b.bin");
  remove_path("root/c.bin");

  RunOptions limited;
  limited.file_size_limit = 0;
  take(run(limited), {"image write", "write_image failed"});
  remove_path("STOWPK.GBA");
  make_dir("STOWPK.GBA");
  take(run(), {"image open", "write_image failed"});

  remove_path("HXQT.GBA");
  take(run(), {"template open", "load_template failed"});
  make_link("/proc/self/mem", "HXQT.GBA");
  take(run(), {"template read", "load_template failed"});

  std::set<int> distinct;
  for (const auto &entry : line) {
    EXPECT_GT(entry.second, 0) << entry.first;
    distinct.insert(entry.second);
  }
  EXPECT_EQ(distinct.size(), line.size()) << ::testing::PrintToString(line);
}

} // namespace
