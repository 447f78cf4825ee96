// Where the image lands: through links, into a folder that takes no new
// file, past a console that is gone, and never a temporary file left after
// an interrupt.
#include "harness.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string EARLIER = "an image from an earlier run\n";

class Landing : public Workspace {
protected:
  void SetUp() override {
    Workspace::SetUp();
    write_file("HXQT.GBA", pattern(768, 12));
    write_file("root/a.bin", pattern(20160, 1));
    fresh = expected_image(pattern(768, 12), {pattern(20160, 1)});
  }

  // Answers whether `rel` is a symbolic link.
  bool is_link(const std::string &rel) const {
    struct stat sb;
    return lstat(path(rel).c_str(), &sb) == 0 && S_ISLNK(sb.st_mode);
  }

  // The names in the folder `rel` that end in ".tmp".
  std::vector<std::string> temp_files(const std::string &rel) const {
    std::vector<std::string> found;
    DIR *dir = opendir(path(rel).c_str());
    while (dir != nullptr) {
      struct dirent *entry = readdir(dir);
      if (entry == nullptr)
        break;
      std::string name = entry->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0)
        found.push_back(name);
    }
    if (dir != nullptr)
      closedir(dir);
    return found;
  }

  // The output of a build that wrote the image, and of one that could not,
  // with `message` (OPEN_ERROR or WRITE_ERROR) as the image's report.
  std::string built() const {
    return banner() + "\nNo.01 add file=root/a.bin\ndone\n";
  }
  std::string image_failed(const std::string &message) const {
    return banner() + "\nNo.01 add file=root/a.bin\n" + LOCATION + message +
           "STOWPK.GBA\n" + LOCATION + FINISH_ERROR + "done\n";
  }

  std::string fresh; // the image the tree gives
};

TEST_F(Landing, LinkedImageIsWrittenThroughTheLink) {
  struct Case {
    const char *what;
    std::vector<std::pair<std::string, std::string>> links; // target, link
    std::string written; // the file that gets the image, or "" for none
    bool posix_only;     // Wine shows no link that leads nowhere
  };
  const std::vector<Case> cases = {
      {"to a file in another folder",
       {{"cart/game.gba", "STOWPK.GBA"}},
       "cart/game.gba",
       false},
      {"a chain, the last link relative to its own folder",
       {{"cart/next", "STOWPK.GBA"}, {"game.gba", "cart/next"}},
       "cart/game.gba",
       false},
      {"to an absolute path", {{"", "STOWPK.GBA"}}, "cart/game.gba", false},
      {"leading nowhere, in a folder that exists",
       {{"cart/new.gba", "STOWPK.GBA"}},
       "cart/new.gba",
       true},
      {"into a folder that does not exist",
       {{"missing/game.gba", "STOWPK.GBA"}},
       "",
       true},
      {"around a loop",
       {{"loop", "STOWPK.GBA"}, {"STOWPK.GBA", "loop"}},
       "",
       false},
      {"to a folder", {{"cart", "STOWPK.GBA"}}, "", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (c.posix_only && windows_target())
      continue;
    remove_path("cart");
    remove_path("STOWPK.GBA");
    remove_path("loop");
    write_file("cart/game.gba", EARLIER);
    for (const auto &link : c.links)
      make_link(link.first.empty() ? path("cart/game.gba") : link.first,
                link.second);
    RunResult r = run();
    EXPECT_EQ(r.status, c.written.empty() ? 2 : 0);
    EXPECT_EQ(without_line_numbers(r.out),
              c.written.empty() ? image_failed(OPEN_ERROR) : built());
    EXPECT_TRUE(is_link("STOWPK.GBA")) << "the link was replaced";
    if (!c.written.empty()) {
      EXPECT_TRUE(read_file(c.written) == fresh) << "no image in " << c.written;
    }
    if (c.written != "cart/game.gba") {
      EXPECT_TRUE(read_file("cart/game.gba") == EARLIER) << "target changed";
    }
    EXPECT_EQ(temp_files("."), std::vector<std::string>{});
    EXPECT_EQ(temp_files("cart"), std::vector<std::string>{});
  }
}

TEST_F(Landing, FolderThatTakesNoNewFileGetsTheImageInPlace) {
  // As a user who may write the image but not create files beside it. The
  // earlier image is longer than the new one, so the cut shows.
  const std::string longer = pattern(100000, 3);
  struct Case {
    const char *what;
    std::string image; // the image's path, in the locked folder "ro"
    bool link;         // reached through a link STOWPK.GBA
    mode_t mode;       // of the image, or 0 for none
    bool written;
  };
  const std::vector<Case> cases = {
      {"a writable image", "ro/STOWPK.GBA", false, 0644, true},
      {"through a link", "ro/game.gba", true, 0644, true},
      {"a read-only image", "ro/STOWPK.GBA", false, 0444, false},
      {"no image", "ro/STOWPK.GBA", false, 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    remove_path("ro");
    remove_path("STOWPK.GBA");
    make_dir("ro");
    if (c.mode != 0) {
      write_file(c.image, longer);
      chmod(path(c.image).c_str(), c.mode);
    }
    // The tool runs in "ro" itself, or in the workspace through the link.
    std::string dir = "ro";
    if (c.link) {
      make_link("ro/game.gba", "STOWPK.GBA");
      dir = ".";
    } else {
      write_file("ro/HXQT.GBA", pattern(768, 12));
      write_file("ro/root/a.bin", pattern(20160, 1));
    }
    chmod(path("ro").c_str(), 0555);
    RunOptions options = unprivileged();
    options.directory = dir;
    RunResult r = run(options);
    chmod(path("ro").c_str(), 0755);
    EXPECT_EQ(r.status, c.written ? 0 : 2);
    EXPECT_EQ(without_line_numbers(r.out),
              c.written ? built() : image_failed(OPEN_ERROR));
    if (c.written) {
      EXPECT_TRUE(read_file(c.image) == fresh) << "not the new image";
    } else if (c.mode != 0) {
      EXPECT_TRUE(read_file(c.image) == longer) << "the image was changed";
    } else {
      EXPECT_FALSE(exists(c.image));
    }
    EXPECT_EQ(temp_files("ro"), std::vector<std::string>{});
  }
}

TEST_F(Landing, OnlyARegularFileIsReplaced) {
  // A pipe with a reader would take the image's bytes, or be replaced by a
  // file; it gets the report and stays as it was.
  make_fifo("STOWPK.GBA");
  int reader = open(path("STOWPK.GBA").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  RunOptions options;
  options.timeout_seconds = 10;
  RunResult r = run(options);
  char byte;
  EXPECT_LE(read(reader, &byte, 1), 0) << "the pipe was written";
  close(reader);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(without_line_numbers(r.out), image_failed(OPEN_ERROR));
  struct stat sb;
  ASSERT_EQ(lstat(path("STOWPK.GBA").c_str(), &sb), 0);
  EXPECT_TRUE(S_ISFIFO(sb.st_mode));
  EXPECT_EQ(temp_files("."), std::vector<std::string>{});
}

TEST_F(Landing, ImageUnderAReadLeaseIsReplaced) {
  if (windows_target())
    GTEST_SKIP() << "leases are a Linux service";
  // A lease holder (a file server) is told when the file is opened for
  // writing; checking that it may be written must not need that.
  write_file("STOWPK.GBA", EARLIER);
  int holder = open(path("STOWPK.GBA").c_str(), O_RDONLY);
  ASSERT_GE(holder, 0);
  std::signal(SIGIO, SIG_IGN); // a break of the lease would be announced
  if (fcntl(holder, F_SETLEASE, F_RDLCK) != 0) {
    close(holder);
    GTEST_SKIP() << "no lease on this file system: " << std::strerror(errno);
  }
  RunResult r = run();
  fcntl(holder, F_SETLEASE, F_UNLCK);
  close(holder);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, built());
  EXPECT_TRUE(read_file("STOWPK.GBA") == fresh);
}

TEST_F(Landing, ConsoleThatIsGoneCostsNoImage) {
  // More than a pipe holds of progress lines, to a pipe nobody reads.
  for (int i = 0; i < 62; ++i) {
    char name[300];
    std::snprintf(name, sizeof name, "root/b%02d%s", i,
                  std::string(200, 'n').c_str());
    write_file(name, "");
  }
  RunOptions options;
  options.stdout_gone = true;
  RunResult r = run(options);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file("STOWPK.GBA").size(), 768u + 64 * 20096);
}

TEST_F(Landing, FileSizeLimitIsAFailedWriteEvenWithItsSignal) {
  if (windows_target())
    GTEST_SKIP() << "the limit's signal ends Wine itself, not the tool";
  write_file("STOWPK.GBA", EARLIER);
  RunOptions options;
  options.file_size_limit = 4096;
  options.file_size_signal = true;
  RunResult r = run(options);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(without_line_numbers(r.out), image_failed(WRITE_ERROR));
  EXPECT_TRUE(read_file("STOWPK.GBA") == EARLIER) << "not the earlier image";
  EXPECT_EQ(temp_files("."), std::vector<std::string>{});
}

TEST_F(Landing, WindowsWaitsAMomentForAnImageInUse) {
  if (!windows_target())
    GTEST_SKIP() << "Windows only: POSIX replaces a file that is open";
  const std::string helper = tool_dir() + "/hold_file.exe";
  if (access(helper.c_str(), X_OK) != 0)
    GTEST_SKIP() << "hold_file.exe was not built beside the tool";
  // Another program holds the image, sharing it with no one, for a moment
  // (the tool waits it out) or for longer than the tool waits (the image
  // stays as it was, and the failure is the write's).
  struct Case {
    const char *held_ms;
    bool written;
  };
  for (const Case &c : {Case{"300", true}, Case{"5000", false}}) {
    SCOPED_TRACE(c.held_ms);
    write_file("STOWPK.GBA", EARLIER);
    const std::string marker = base_ + "/held";
    unlink(marker.c_str());
    pid_t holder = start_beside_tool("hold_file.exe",
                                     {"STOWPK.GBA", c.held_ms, "..\\held"});
    ASSERT_GT(holder, 0);
    for (int i = 0; i < 400 && access(marker.c_str(), F_OK) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ASSERT_EQ(access(marker.c_str(), F_OK), 0) << "the file was never held";
    RunResult r = run();
    int status = 0;
    waitpid(holder, &status, 0);
    EXPECT_EQ(r.status, c.written ? 0 : 2);
    EXPECT_EQ(without_line_numbers(r.out),
              c.written ? built() : image_failed(WRITE_ERROR));
    EXPECT_TRUE(read_file("STOWPK.GBA") == (c.written ? fresh : EARLIER));
    EXPECT_EQ(temp_files("."), std::vector<std::string>{});
  }
}

// The interrupts that must leave no temporary file behind.
const std::vector<std::pair<const char *, int>> INTERRUPTS = {
    {"INT", SIGINT}, {"TERM", SIGTERM}, {"HUP", SIGHUP}};

TEST_F(Landing, InterruptAtEachStepOfTheWriteLeavesNoTemporaryFile) {
  if (windows_target())
    GTEST_SKIP() << "the fault library loads into Linux builds only";
  // An interrupt that comes as the rename starts waits for it to end: the
  // image is then the new one.
  struct Step {
    const char *at;
    bool replaced;
  };
  const std::vector<Step> steps = {{"write:0", false},
                                   {"write:30000", false},
                                   {"fsync", false},
                                   {"rename", true},
                                   {"renamed", true}};
  for (const auto &interrupt : INTERRUPTS) {
    for (const Step &step : steps) {
      SCOPED_TRACE(std::string(interrupt.first) + " at " + step.at);
      write_file("STOWPK.GBA", EARLIER);
      RunResult r =
          run(with_faults({std::string("STOWPAK_KILL_AT=") + step.at,
                           std::string("STOWPAK_SIGNAL=") + interrupt.first}));
      EXPECT_EQ(r.signal, interrupt.second) << "status " << r.status;
      if (step.replaced) {
        EXPECT_TRUE(read_file("STOWPK.GBA") == fresh) << "not the new image";
      } else {
        EXPECT_TRUE(read_file("STOWPK.GBA") == EARLIER) << "not the earlier";
      }
      EXPECT_EQ(temp_files("."), std::vector<std::string>{});
    }
  }
}

TEST_F(Landing, InterruptAtAnyMomentLeavesNoTemporaryFile) {
  if (windows_target())
    GTEST_SKIP() << "these signals end Wine itself; a Windows build hears of "
                    "an interrupt as a console event";
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(run().status, 0);
  const long run_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
  for (const auto &interrupt : INTERRUPTS) {
    for (int i = 0; i < 20; ++i) {
      SCOPED_TRACE(interrupt.first);
      write_file("STOWPK.GBA", EARLIER);
      RunOptions options;
      options.kill_after_ms = static_cast<int>(run_ms * i / 19);
      options.kill_signal = interrupt.second;
      RunResult r = run(options);
      EXPECT_TRUE(r.status == 0 || r.signal == interrupt.second)
          << "status " << r.status << ", signal " << r.signal;
      std::string image = read_file("STOWPK.GBA");
      EXPECT_TRUE(image == EARLIER || image == fresh)
          << "after " << options.kill_after_ms << " ms: " << image.size()
          << " bytes";
      EXPECT_EQ(temp_files("."), std::vector<std::string>{});
    }
  }
}

} // namespace
