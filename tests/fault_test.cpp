// Faults that strike while the tool runs: the process killed while it
// writes the image, entries that change between the listing and their use,
// trees built to hurt the walk, and a memory check of whole builds.
#include "harness.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace {

const std::string EARLIER = "an image from an earlier run\n";

// The source files of `count` records, named root/fNN.bin.
std::vector<std::string> record_paths(int count) {
  std::vector<std::string> paths;
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "root/f%02d.bin", i);
    paths.push_back(name);
  }
  return paths;
}

class Killed : public Workspace {
protected:
  void SetUp() override {
    Workspace::SetUp();
    write_file("HXQT.GBA", pattern(768, 5));
    const std::vector<std::string> sources = {pattern(20160, 1),
                                              pattern(20160, 2)};
    write_file("root/f00.bin", sources[0]);
    write_file("root/f01.bin", sources[1]);
    fresh = expected_image(pattern(768, 5), sources);
  }

  std::string fresh; // the image this tree gives
};

TEST_F(Killed, AtEachStepOfTheWriteLeavesTheEarlierImageOrTheNewOne) {
  if (windows_target())
    GTEST_SKIP() << "the fault library loads into Linux builds only";
  struct Case {
    const char *kill_at;
    bool replaced;
  };
  const std::vector<Case> cases = {
      {"write:0", false},     {"write:1", false}, {"write:30000", false},
      {"write:61055", false}, {"fsync", false},   {"rename", false},
      {"renamed", true},
  };
  for (bool earlier : {true, false}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(c.kill_at) + (earlier ? "" : ", no earlier"));
      remove_path("STOWPK.GBA");
      if (earlier)
        write_file("STOWPK.GBA", EARLIER);
      RunResult r =
          run(with_faults({std::string("STOWPAK_KILL_AT=") + c.kill_at}));
      EXPECT_EQ(r.status, -1) << "the tool was not killed";
      if (c.replaced)
        EXPECT_TRUE(read_file("STOWPK.GBA") == fresh) << "not the new image";
      else if (earlier)
        EXPECT_EQ(read_file("STOWPK.GBA"), EARLIER);
      else
        EXPECT_FALSE(exists("STOWPK.GBA")) << "a partial image was left";
    }
  }
  // A temporary file left by a killed run is no obstacle to the next.
  EXPECT_EQ(run().status, 0);
  EXPECT_TRUE(read_file("STOWPK.GBA") == fresh);
}

TEST_F(Killed, AtAnyMomentNeverLeavesAMixedOrShortImage) {
  // The kills are spread over the time a whole run takes, which under Wine
  // is many times longer than on Linux.
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(run().status, 0);
  const long run_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
  for (int i = 0; i < 40; ++i) {
    write_file("STOWPK.GBA", EARLIER);
    RunOptions options;
    options.kill_after_ms = static_cast<int>(run_ms * (i % 20) / 19);
    RunResult r = run(options);
    std::string image = read_file("STOWPK.GBA");
    EXPECT_TRUE(image == EARLIER || image == fresh)
        << "after " << options.kill_after_ms << " ms (status " << r.status
        << "): " << image.size() << " bytes";
  }
}

class Vanishing : public Workspace {
protected:
  void SetUp() override {
    Workspace::SetUp();
    write_file("HXQT.GBA", pattern(768, 6));
    write_file("root/a.bin", "a");
    write_file("root/c.bin", "c");
    write_file("outside.bin", "o");
  }
};

TEST_F(Vanishing, EntryChangedAfterTheListingIsTakenAsItIsThen) {
  if (windows_target())
    GTEST_SKIP() << "the fault library loads into Linux builds only";
  struct Case {
    const char *what;
    std::string arrange; // "file", "link" or "dir": what root/b is at first
    std::string change;  // STOWPAK_CHANGE
    std::string lines;   // between the first and last progress lines
  };
  const std::string b_open = LOCATION + OPEN_ERROR + "root/b\n";
  const std::vector<Case> cases = {
      {"a file removed before it is opened", "file", "open:gone:root/b",
       b_open},
      {"a file turned into a directory before it is opened", "file",
       "open:dir:root/b", b_open},
      {"a file turned into a pipe before it is opened", "file",
       "open:fifo:root/b", b_open},
      {"a link turned into a pipe after its status", "link", "open:fifo:root/b",
       b_open},
      {"a link removed before its status", "link", "stat:gone:root/b",
       " stat(fullpath,sta) != 0\n"},
      {"a link removed after its status", "link", "open:gone:root/b", b_open},
      {"a link turned into a directory before its status", "link",
       "stat:dir:root/b", ""},
      {"a directory removed before its status", "dir", "stat:gone:root/b",
       " stat(fullpath,sta) != 0\n"},
      {"a directory removed before it is listed", "dir", "open:gone:root/b",
       "'root/b' dir open errno=2 \n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    remove_path("root/b");
    if (c.arrange == "file")
      write_file("root/b", "b");
    else if (c.arrange == "link")
      make_link("../outside.bin", "root/b");
    else
      make_dir("root/b");
    RunResult r = run(with_faults({"STOWPAK_CHANGE=" + c.change}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(without_line_numbers(r.out),
              banner() + "\nNo.01 add file=root/a.bin\n" + c.lines +
                  "No.02 add file=root/c.bin\ndone\n");
    EXPECT_EQ(read_file("STOWPK.GBA"),
              expected_image(pattern(768, 6), {"a", "c"}));
  }
}

TEST_F(Vanishing, FoldersAreTheSameOnlyOnTheSameDevice) {
  if (windows_target())
    GTEST_SKIP() << "the fault library loads into Linux builds only";
  // root/b is made to show root's number, on root's device (a loop) or on
  // another one (a folder of its own).
  write_file("root/b/x.bin", "x");
  struct Case {
    std::string device_offset;
    std::string lines;
  };
  for (const Case &c : {Case{"0", "'root/b' dir loop \n"},
                        Case{"1", "No.02 add file=root/b/x.bin\n"}}) {
    SCOPED_TRACE(c.device_offset);
    RunResult r =
        run(with_faults({"STOWPAK_ALIAS=root/b:root:" + c.device_offset}));
    EXPECT_EQ(build_lines(r), "No.01 add file=root/a.bin\n" + c.lines +
                                  (c.device_offset == "0" ? "No.02" : "No.03") +
                                  " add file=root/c.bin\n");
  }
}

// Builds in which memory runs out in the walk: the build stops with the
// memory report, writes no image and leaves the earlier one.
class OutOfMemory : public Workspace {
protected:
  void SetUp() override {
    Workspace::SetUp();
    write_file("HXQT.GBA", pattern(768, 9));
    write_file("STOWPK.GBA", EARLIER);
    if (windows_target())
      GTEST_SKIP() << "the faults are made in Linux builds only";
  }

  void expect_memory_report(const RunResult &r) {
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(without_line_numbers(r.out),
              banner() + "\n" + LOCATION + MEMORY_ERROR + "done\n");
    EXPECT_EQ(read_file("STOWPK.GBA"), EARLIER);
    EXPECT_EQ(top_names(),
              (std::vector<std::string>{"HXQT.GBA", "STOWPK.GBA", "root"}));
  }
};

TEST_F(OutOfMemory, WhereAListingCannotBeRead) {
  if (sanitized_target())
    GTEST_SKIP() << "the sanitizer's allocator cannot be made to fail";
  // The sizes the walk asks for: a listing's read block, and a block of
  // the names it keeps.
  write_file("root/sub/a.bin", "a");
  for (const char *size : {"65536", "8192"}) {
    SCOPED_TRACE(size);
    expect_memory_report(
        run(with_faults({std::string("STOWPAK_FAIL_ALLOC=") + size})));
  }
}

TEST_F(OutOfMemory, WhereALargeFolderDoesNotFit) {
  if (sanitized_target())
    GTEST_SKIP() << "the sanitizer needs an address space without limit";
  // 30,000 names of 240 characters need some 15 MB; the tool is given 12.
  // Pipes each get a line, so the walk keeps every one of them and runs
  // out; of files it keeps only the first ones in name order, and builds.
  RunOptions options;
  options.address_space_limit = 12L << 20;
  make_dir("root");
  ASSERT_EQ(run(options).status, 0);
  for (bool pipes : {false, true}) {
    SCOPED_TRACE(pipes ? "pipes" : "files");
    remove_path("root");
    make_dir("root");
    write_file("STOWPK.GBA", EARLIER);
    std::vector<std::string> first;
    for (int i = 0; i < 30000; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "root/%05d", i);
      std::string entry = name + std::string(235, 'n');
      if (pipes) {
        ASSERT_EQ(mkfifo(path(entry).c_str(), 0644), 0) << entry;
      } else {
        int fd = open(path(entry).c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << entry;
        close(fd);
      }
      if (i < 63)
        first.push_back(entry);
    }
    if (pipes)
      expect_memory_report(run(options));
    else
      EXPECT_EQ(build_lines(run(options)), progress(first));
  }
}

class HostileTree : public Workspace {
protected:
  void SetUp() override {
    Workspace::SetUp();
    write_file("HXQT.GBA", pattern(768, 7));
  }
};

TEST_F(HostileTree, DeepestTreeThatPathsAllowIsWalkedToItsEnd) {
  // root/d/d/.../d holds a file x at every level. 125 levels of directories
  // fit in 255 characters, and the x files down to level 124: the x of level
  // 125 is one too long. Since d sorts before x, the deepest x comes first.
  std::string dir = "root";
  std::vector<std::string> files;
  for (int level = 0; level <= 125; ++level) {
    if (level > 0)
      dir += "/d";
    files.insert(files.begin(), dir + "/x");
    write_file(files.front(), files.front());
  }
  ASSERT_EQ(files.front().size(), 256u);
  RunOptions options;
  options.timeout_seconds = 10;
  RunResult r = run(options);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, banner() + "\n'" + files[0] + "' path too long \n" +
                       progress({files.begin() + 1, files.begin() + 64}) +
                       "done\n");
}

// Runs the tool under the memory checker when it is installed. It checks
// the build this suite was made with, not a build named in STOWPAK_BINARY.
class MemoryCheck : public Workspace {
protected:
  void SetUp() override {
    Workspace::SetUp();
    if (std::getenv("STOWPAK_BINARY") != nullptr)
      GTEST_SKIP() << "memory check runs for the default build only";
    if (std::system("valgrind --version >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "valgrind is not installed";
  }

  RunResult checked_run() {
    RunOptions options;
    options.wrapper = {"valgrind",
                       "-q",
                       "--error-exitcode=97",
                       "--leak-check=full",
                       "--show-leak-kinds=all",
                       "--errors-for-leak-kinds=all",
                       "--suppressions=" STOWPAK_SOURCE_DIR
                       "/tests/valgrind.supp"};
    options.timeout_seconds = 120;
    return run(options);
  }
};

TEST_F(MemoryCheck, ExampleWorkspaceBuildsClean) {
  namespace fs = std::filesystem;
  const fs::path example = STOWPAK_SOURCE_DIR "/examples/demo";
  fs::copy(example / "HXQT.GBA", path("HXQT.GBA"));
  fs::copy(example / "root", path("root"), fs::copy_options::recursive);
  RunResult r = checked_run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.substr(r.out.size() - 5), "done\n");
}

TEST_F(MemoryCheck, FullImageBuildsClean) {
  std::vector<std::string> sources;
  write_file("HXQT.GBA", pattern(768, 8));
  for (const std::string &name : record_paths(63)) {
    sources.push_back(pattern(24576, static_cast<unsigned>(sources.size())));
    write_file(name, sources.back());
  }
  RunResult r = checked_run();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, banner() + "\n" + progress(record_paths(63)) + "done\n");
  EXPECT_TRUE(read_file("STOWPK.GBA") ==
              expected_image(pattern(768, 8), sources));
}

} // namespace
