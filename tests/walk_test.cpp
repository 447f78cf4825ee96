// The walk of "root": which entries become records, in which order, and the
// lines for the entries it cannot take.
#include "harness.h"

#include <sys/stat.h>

namespace {

class Walk : public Workspace {
protected:
  void SetUp() override {
    Workspace::SetUp();
    write_file("HXQT.GBA", pattern(768, 11));
  }

  // Builds and answers stdout between the banner and "done".
  std::string walk(const RunOptions &options = RunOptions()) {
    return build_lines(run(options));
  }

  // The number of records in the image.
  std::size_t records() {
    std::string image = read_file("STOWPK.GBA");
    return (image.size() - 768) / 20096 - 1;
  }
};

// The line for a directory that the user may not read. Wine cannot take
// the status of such a directory, so under Wine it is the status line.
std::string locked_line(const std::string &dir) {
  return windows_target() ? " stat(fullpath,sta) != 0\n"
                          : "'" + dir + "' dir open errno=13 \n";
}

TEST_F(Walk, MissingRootGivesAnImageWithoutRecords) {
  EXPECT_EQ(walk(), "'root' dir open errno=2 \n");
  EXPECT_EQ(read_file("STOWPK.GBA"), expected_image(pattern(768, 11), {}));
}

TEST_F(Walk, RootThatIsAFileCannotBeListed) {
  write_file("root", pattern(20160, 1));
  EXPECT_EQ(walk(), "'root' dir open errno=20 \n");
  EXPECT_EQ(records(), 0u);
}

TEST_F(Walk, EmptyRootPrintsNothing) {
  make_dir("root");
  EXPECT_EQ(walk(), "");
  EXPECT_EQ(records(), 0u);
}

TEST_F(Walk, SubdirectoryIsWalkedWhereItsNameSorts) {
  write_file("root/a.bin", pattern(300, 1));
  write_file("root/z.bin", pattern(300, 3));
  write_file("root/sub/b.bin", pattern(300, 2));
  write_file("root/sub/deeper/c.bin", pattern(300, 4));
  write_file("root/sub/d.bin", pattern(300, 5));
  EXPECT_EQ(walk(), "No.01 add file=root/a.bin\n"
                    "No.02 add file=root/sub/b.bin\n"
                    "No.03 add file=root/sub/d.bin\n"
                    "No.04 add file=root/sub/deeper/c.bin\n"
                    "No.05 add file=root/z.bin\n");
  EXPECT_EQ(read_file("STOWPK.GBA"),
            expected_image(pattern(768, 11),
                           {pattern(300, 1), pattern(300, 2), pattern(300, 5),
                            pattern(300, 4), pattern(300, 3)}));
}

TEST_F(Walk, AsciiNamesAreOrderedWithLettersFoldedToUpperCase) {
  // Folded, "a" is a prefix of "A.BIN"; "A.bin" and "a.bin" are equal and
  // go by their raw bytes; '[' and '_' lie after 'Z'.
  const std::vector<std::string> sorted = {
      "0.bin", "a",     "A.bin", "a.bin", "a2.bin", "AB",     "Ab",
      "aB",    "B.bin", "b.bin", "Z",     "[x",     "_c.bin", "~"};
  // Created in an order that is neither the result nor plain byte order.
  const std::vector<std::size_t> creation = {12, 9, 4,  2, 10, 11, 3,
                                             8,  0, 13, 1, 5,  7,  6};
  for (std::size_t i : creation)
    write_file("root/" + sorted[i], sorted[i]);
  std::vector<std::string> paths;
  for (const std::string &name : sorted)
    paths.push_back("root/" + name);
  EXPECT_EQ(walk(), progress(paths));
  EXPECT_EQ(read_file("STOWPK.GBA"), expected_image(pattern(768, 11), sorted));
}

TEST_F(Walk, NamesBeginningWithADotArePassedOverSilently) {
  write_file("root/.note", "x");
  write_file("root/.old/inside.bin", "x");
  write_file("root/..x", "x");
  write_file("root/a.b.c", "abc");
  write_file("root/sub/.hidden", "x");
  write_file("root/sub/.git/config", "x");
  make_link("nowhere", "root/.dangling");
  make_fifo("root/.pipe");
  write_file("root/." + std::string(250, 'd'), "x"); // a path too long
  EXPECT_EQ(walk(), "No.01 add file=root/a.b.c\n");
  EXPECT_EQ(records(), 1u);
}

TEST_F(Walk, NamesArePrintedAsTheyAre) {
  // In walk order. Windows cannot hold the names with a trailing blank, a
  // line feed, a backslash or bytes outside the code page.
  std::vector<std::string> names = {" a b", "%d%s%n"};
  if (!windows_target())
    names = {" a b",       "%d%s%n", "a b ",
             "line\nfeed", "\\back", "\x82\xa0\xff\x80"};
  std::vector<std::string> paths;
  for (const std::string &name : names) {
    write_file("root/" + name, name);
    paths.push_back("root/" + name);
  }
  EXPECT_EQ(walk(), progress(paths));
}

TEST_F(Walk, LinksAreFollowedButNeverAroundALoop) {
  write_file("outside/file.bin", pattern(200, 1));
  write_file("outside/dir/in.bin", pattern(200, 2));
  make_dir("root/sub");
  make_link("../outside/file.bin", "root/a-file");
  make_link("../outside/dir", "root/b-dir");
  make_link("..", "root/sub/c-up");
  make_link("../../root", "root/sub/d-top");
  make_link(".", "root/sub/e-self");
  make_link(path("root"), "root/sub/f-absolute");
  EXPECT_EQ(walk(), "No.01 add file=root/a-file\n"
                    "No.02 add file=root/b-dir/in.bin\n"
                    "'root/sub/c-up' dir loop \n"
                    "'root/sub/d-top' dir loop \n"
                    "'root/sub/e-self' dir loop \n"
                    "'root/sub/f-absolute' dir loop \n");
}

TEST_F(Walk, ManyLoopLinksInOneDirectoryEachGetALine) {
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "l%03d", i);
    make_dir("root/d");
    make_link("..", std::string("root/d/") + name);
    expected += std::string("'root/d/") + name + "' dir loop \n";
  }
  RunOptions options;
  options.timeout_seconds = 10;
  EXPECT_EQ(walk(options), expected);
}

TEST_F(Walk, FolderReachedTwiceIsWalkedOnceWhereItsFirstPathSorts) {
  write_file("root/m/x.bin", "x");
  make_link("../m", "root/b/to-m");
  make_link("../m", "root/z/to-m");
  make_link("m", "root/n");
  EXPECT_EQ(walk(), "No.01 add file=root/b/to-m/x.bin\n"
                    "'root/m' dir already walked \n"
                    "'root/n' dir already walked \n"
                    "'root/z/to-m' dir already walked \n");
  EXPECT_EQ(read_file("STOWPK.GBA"), expected_image(pattern(768, 11), {"x"}));
}

TEST_F(Walk, LinksThatFanOutEndAtOnce) {
  // Two links in each of 20 folders to the next one: 2^20 paths lead to
  // the last folder, which is walked once, by the first path in name order.
  const int levels = 20;
  std::string lines;
  std::string deepest = "root/f00";
  for (int i = 0; i < levels; ++i) {
    char folder[32], next[32];
    std::snprintf(folder, sizeof folder, "root/f%02d", i);
    std::snprintf(next, sizeof next, "../f%02d", i + 1);
    make_link(next, std::string(folder) + "/a");
    make_link(next, std::string(folder) + "/b");
    if (i > 0)
      deepest += "/a";
  }
  write_file("root/f20/x.bin", "x");
  // Depth first: down the a links, then each b link from the deepest up,
  // then the folders themselves, reached from "root".
  std::string walked_b;
  for (std::string at = deepest; at != "root"; at = at.substr(0, at.rfind('/')))
    walked_b += "'" + at + "/b' dir already walked \n";
  for (int i = 1; i <= levels; ++i) {
    char folder[32];
    std::snprintf(folder, sizeof folder, "root/f%02d", i);
    lines += "'" + std::string(folder) + "' dir already walked \n";
  }
  RunOptions options;
  options.timeout_seconds = 20;
  EXPECT_EQ(walk(options),
            "No.01 add file=" + deepest + "/a/x.bin\n" + walked_b + lines);
}

TEST_F(Walk, RootThatIsABrokenLinkCannotBeListed) {
  // The same error numbers on every platform: 2 for a link that leads
  // nowhere, 40 for a loop of links.
  struct Case {
    const char *what;
    std::string target;
    std::string line;
  };
  for (const Case &c :
       {Case{"dangling", "nowhere", "'root' dir open errno=2 \n"},
        Case{"loop", "loop", "'root' dir open errno=40 \n"}}) {
    SCOPED_TRACE(c.what);
    remove_path("root");
    remove_path("loop");
    make_link(c.target, "root");
    if (c.target == "loop")
      make_link("root", "loop");
    EXPECT_EQ(walk(), c.line);
    EXPECT_EQ(records(), 0u);
  }
}

TEST_F(Walk, EntriesThatAreNotRegularFilesAreNeverOpened) {
  write_file("root/a.bin", "a");
  make_fifo("root/b-pipe");
  make_link("/dev/null", "root/c-device");
  make_link("/dev/zero", "root/d-device");
  write_file("root/e.bin", "e");
  RunOptions options;
  options.timeout_seconds = 10; // opening the pipe would wait for ever
  if (windows_target()) {
    // Windows lists them as files; the open finds no disk file and refuses.
    EXPECT_EQ(walk(options), "No.01 add file=root/a.bin\n" + LOCATION +
                                 OPEN_ERROR + "root/b-pipe\n" + LOCATION +
                                 OPEN_ERROR + "root/c-device\n" + LOCATION +
                                 OPEN_ERROR +
                                 "root/d-device\nNo.02 add file=root/e.bin\n");
    return;
  }
  EXPECT_EQ(walk(options), "No.01 add file=root/a.bin\n"
                           "'root/b-pipe' not a regular file \n"
                           "'root/c-device' not a regular file \n"
                           "'root/d-device' not a regular file \n"
                           "No.02 add file=root/e.bin\n");
}

TEST_F(Walk, EntryWithoutStatusGetsALineAndTheNextIsTaken) {
  write_file("root/a.bin", "a");
  make_link("nowhere", "root/b-dangling");
  make_link("b-loop", "root/b-loop");
  write_file("root/c.bin", "c");
  // Wine leaves links that lead nowhere out of the listing.
  const std::string lines = windows_target() ? ""
                                             : " stat(fullpath,sta) != 0\n"
                                               " stat(fullpath,sta) != 0\n";
  EXPECT_EQ(walk(), "No.01 add file=root/a.bin\n" + lines +
                        "No.02 add file=root/c.bin\n");
}

TEST_F(Walk, SubdirectoryThatCannotBeListedIsReportedAndPassed) {
  write_file("root/a/locked/x.bin", "x");
  write_file("root/b.bin", "b");
  write_file("root/a/z.bin", "z");
  chmod(path("root/a/locked").c_str(), 0);
  EXPECT_EQ(walk(unprivileged()), locked_line("root/a/locked") +
                                      "No.01 add file=root/a/z.bin\n"
                                      "No.02 add file=root/b.bin\n");
}

TEST_F(Walk, FullPathsOfMoreThan255CharactersArePassedOver) {
  // At several depths: a full path of exactly 255 characters is taken, one
  // of 256 is reported with the path it would have had.
  for (const std::string &dir :
       {std::string("root"), "root/" + std::string(100, 'd'),
        "root/a/b/c/" + std::string(200, 'e')}) {
    SCOPED_TRACE(dir.size());
    remove_path("root");
    const std::string fits = dir + "/" + std::string(254 - dir.size(), 'f');
    const std::string over = dir + "/" + std::string(255 - dir.size(), 'g');
    write_file(fits, "fits");
    write_file(over, "over");
    ASSERT_EQ(fits.size(), 255u);
    EXPECT_EQ(walk(),
              "No.01 add file=" + fits + "\n'" + over + "' path too long \n");
  }
}

TEST_F(Walk, DirectoryWhosePathIsTooLongIsNotEntered) {
  const std::string dir = "root/" + std::string(250, 'd');
  write_file(dir + "/x", "x");
  write_file("root/short/" + std::string(244, 'e'), "e");
  EXPECT_EQ(walk(), "'root/" + std::string(250, 'd') +
                        "/x' path too long \n"
                        "No.01 add file=root/short/" +
                        std::string(244, 'e') + "\n");
}

TEST_F(Walk, WalkGoesOnAfterTheImageIsFull) {
  for (int i = 0; i < 64; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "root/a%02d", i);
    write_file(name, "");
  }
  make_link("nowhere", "root/b/dangling");
  make_fifo("root/b/pipe");
  make_dir("root/c/locked");
  chmod(path("root/c/locked").c_str(), 0);
  std::vector<std::string> paths;
  for (int i = 0; i < 63; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "root/a%02d", i);
    paths.push_back(name);
  }
  // Under Wine the dangling link is not listed and the pipe is a file, which
  // the full image refuses without a word.
  EXPECT_EQ(walk(unprivileged()),
            progress(paths) +
                (windows_target() ? ""
                                  : " stat(fullpath,sta) != 0\n"
                                    "'root/b/pipe' not a regular file \n") +
                locked_line("root/c/locked"));
  EXPECT_EQ(records(), 63u);
}

TEST_F(Walk, FilesThatCannotBeAddedGiveTheirPlacesToTheFilesAfterThem) {
  // More files than fit, six of the first 63 unreadable, and among them a
  // folder that adds a record on its way; after the image is full, a
  // folder's files are passed over but its other entries still get lines.
  auto file = [](int i) {
    char name[32];
    std::snprintf(name, sizeof name, "root/f%03d", i);
    return std::string(name);
  };
  for (int i = 0; i < 100; ++i)
    write_file(file(i), "");
  for (int i = 10; i <= 60; i += 10)
    chmod(path(file(i)).c_str(), 0);
  write_file("root/f025d/x", "");
  make_dir("root/f090d");
  chmod(path("root/f090d").c_str(), 0);
  write_file("root/f095d/a", "");
  make_dir("root/f095d/b");
  chmod(path("root/f095d/b").c_str(), 0);
  write_file("root/f095d/c", "");

  std::string lines;
  std::size_t added = 0;
  auto add = [&](const std::string &path) {
    lines += progress_line(++added, path);
  };
  for (int i = 0; added < 63; ++i) {
    if (i % 10 == 0 && i >= 10 && i <= 60)
      lines += LOCATION + OPEN_ERROR + file(i) + "\n";
    else
      add(file(i));
    if (i == 25)
      add("root/f025d/x");
  }
  EXPECT_EQ(lines.substr(lines.size() - 25), "No.63 add file=root/f067\n");
  EXPECT_EQ(walk(unprivileged()),
            lines + locked_line("root/f090d") + locked_line("root/f095d/b"));
}

// Names that fill several read blocks, in name order, 1500 for each of
// `heads`: the head, then three letters in mixed case that tell them apart.
std::vector<std::string> lettered_names(const std::vector<std::string> &heads) {
  std::vector<std::string> sorted;
  for (const std::string &head : heads) {
    for (int i = 0; i < 1500; ++i) {
      std::string name = head;
      for (int digit : {i / 676, i / 26 % 26, i % 26})
        name +=
            static_cast<char>(((i * 7 + digit) % 3 == 0 ? 'A' : 'a') + digit);
      sorted.push_back(name);
    }
  }
  return sorted;
}

// Names that share their first 21 characters, so that their keys differ
// only in their third eight bytes; names that differ from their 15th
// character on, with names beyond ASCII after them, which set every one of
// the first eight bytes of the keys apart.
const std::vector<std::string> LETTERED_HEADS[] = {
    {"common-prefix-longer-"}, {"common-prefix-", "\xe3\x81\x82"}};

// Makes `make` each of `sorted` in root, in an order unlike the sorted one
// (1009 is prime to the count).
template <typename Make>
void make_shuffled(const std::vector<std::string> &sorted, Make make) {
  for (std::size_t i = 0; i < sorted.size(); ++i)
    make("root/" + sorted[(i * 1009) % sorted.size()]);
}

TEST_F(Walk, LargeFolderIsInNameOrderAcrossItsReadBlocks) {
  // Pipes, each of which gets a line with its name, so that the whole order
  // shows.
  for (const std::vector<std::string> &heads : LETTERED_HEADS) {
    SCOPED_TRACE(heads.size());
    remove_path("root");
    std::vector<std::string> sorted = lettered_names(heads);
    make_shuffled(sorted, [&](const std::string &rel) { make_fifo(rel); });
    std::string lines;
    for (const std::string &name : sorted) {
      const std::string shown = narrow("root/" + name);
      // Windows lists a pipe as a file, and refuses it when it opens it.
      lines += windows_target()
                   ? (shown.find('?') != std::string::npos
                          ? "'" + shown + "' name not representable \n"
                          : LOCATION + OPEN_ERROR + shown + "\n")
                   : "'" + shown + "' not a regular file \n";
    }
    RunOptions options;
    options.timeout_seconds = 60;
    EXPECT_EQ(walk(options), lines);
  }
}

TEST_F(Walk, FirstFilesOfALargeFolderInNameOrderBecomeRecords) {
  // The same names as files: the first 63 in name order become records,
  // and a name that Windows cannot show still gets its line where it sorts,
  // even once the image is full.
  for (const std::vector<std::string> &heads : LETTERED_HEADS) {
    SCOPED_TRACE(heads.size());
    remove_path("root");
    std::vector<std::string> sorted = lettered_names(heads);
    make_shuffled(sorted, [&](const std::string &rel) { write_file(rel, ""); });
    std::string lines;
    std::size_t added = 0;
    for (const std::string &name : sorted) {
      const std::string shown = narrow("root/" + name);
      if (windows_target() && shown.find('?') != std::string::npos)
        lines += "'" + shown + "' name not representable \n";
      else if (added < 63)
        lines += progress_line(++added, shown);
    }
    RunOptions options;
    options.timeout_seconds = 60;
    EXPECT_EQ(walk(options), lines);
  }
}

TEST_F(Walk, LargeFlatDirectoryIsWalkedInOrder) {
  std::vector<std::string> paths;
  for (int i = 20000; i-- > 0;) {
    char name[32];
    std::snprintf(name, sizeof name, "root/f%05d", i);
    write_file(name, "");
    if (i < 63)
      paths.insert(paths.begin(), name);
  }
  RunOptions options;
  options.timeout_seconds = 20;
  EXPECT_EQ(walk(options), progress(paths));
}

} // namespace
