// Many generated trees, each checked byte for byte: sizes around every field
// boundary, labels with and without NULs, nested directories, more files
// than fit, short and long templates, and an earlier image.
#include "harness.h"

#include <cstdio>
#include <random>

namespace {

class RandomTrees : public Workspace {};

const std::size_t SIZES[] = {0,   1,     63,    64,    65,    95,    96,
                             97,  100,   127,   128,   129,   159,   160,
                             161, 20159, 20160, 20161, 24575, 24576, 24577};

// A source file of one of the boundary sizes, or any size up to 30,000,
// with its label's first NUL anywhere or nowhere.
std::string random_source(std::mt19937 &rng) {
  std::size_t size = rng() % 4 == 0
                         ? rng() % 30001
                         : SIZES[rng() % (sizeof SIZES / sizeof SIZES[0])];
  std::string file = pattern(size, rng());
  std::size_t nul = 96 + rng() % 40; // 32 to 39: no NUL in the label
  if (nul < 128 && nul < size)
    file[nul] = '\0';
  return file;
}

TEST_F(RandomTrees, EachTreeGivesItsExactImageAndLines) {
  std::mt19937 rng(20261211);
  for (int tree = 0; tree < 60; ++tree) {
    SCOPED_TRACE(tree);
    remove_path("root");
    remove_path("STOWPK.GBA");
    std::string header = pattern(
        std::vector<std::size_t>{0, 100, 256, 258, 768, 1000}[rng() % 6],
        rng());
    write_file("HXQT.GBA", header);
    if (rng() % 2 == 0)
      write_file("STOWPK.GBA", pattern(rng() % 2000000, 3));

    // Entries are named with their place in the directory first, so the
    // walk order is known: depth first, in that order.
    std::vector<std::string> paths;
    std::vector<std::string> contents;
    std::vector<std::string> dirs = {"root"};
    make_dir("root");
    int files = static_cast<int>(rng() % 90);
    std::vector<unsigned> next_index(1, 0);
    for (int i = 0; i < files; ++i) {
      std::size_t depth = dirs.size() - 1;
      if (rng() % 6 == 0 && depth < 6) {
        char name[16];
        std::snprintf(name, sizeof name, "/%02ud", next_index[depth]++);
        dirs.push_back(dirs.back() + name);
        next_index.push_back(0);
        make_dir(dirs.back());
        depth++;
      } else if (rng() % 5 == 0 && depth > 0) {
        dirs.pop_back();
        next_index.pop_back();
        depth--;
      }
      char name[16];
      std::snprintf(name, sizeof name, "/%02uf%c", next_index[depth]++,
                    "aBcD"[rng() % 4]);
      std::string file = random_source(rng);
      write_file(dirs.back() + name, file);
      paths.push_back(dirs.back() + name);
      contents.push_back(file);
    }
    if (paths.size() > 63) {
      paths.resize(63);
      contents.resize(63);
    }

    RunResult r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, banner() + "\n" + progress(paths) + "done\n");
    EXPECT_EQ(read_file("STOWPK.GBA"), expected_image(header, contents));
    if (HasFailure())
      break;
  }
}

} // namespace
