// The command line: help options, rejected options, other arguments and the
// banner.
#include "harness.h"

#include <regex>

namespace {

using Args = std::vector<std::string>;

class CommandLine : public Workspace {
protected:
  void SetUp() override {
    Workspace::SetUp();
    write_file("HXQT.GBA", pattern(768, 7));
    write_file("root/a.bin", pattern(300, 1));
    // If the runtime expanded wildcards, "*" or "-?" would name this file
    // and arrive as the option "-x".
    write_file("-x", "");
  }
};

TEST_F(CommandLine, HelpOptionPrintsUsageAndBuildsNothing) {
  const std::vector<Args> cases = {
      {"-h"},  {"-H"},      {"-?"},       {"-help"},  {"-Hx"},
      {"-??"}, {"x", "-h"}, {"-h", "-x"}, {"", "-?"}, {"-h", "--"}};
  for (const Args &args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    RunResult r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, banner() + "\nUsage: stowpak \n");
    EXPECT_FALSE(exists("STOWPK.GBA"));
  }
}

TEST_F(CommandLine, OtherOptionIsRejectedWithTheWholeArgument) {
  struct Case {
    Args args;
    std::string shown;
  };
  const std::vector<Case> cases = {{{"-x"}, "-x"},
                                   {{"-x", "-h"}, "-x"},
                                   {{"-"}, "-"},
                                   {{"--help"}, "--help"},
                                   {{"a", "-v1"}, "-v1"},
                                   {{"-%s%d"}, "-%s%d"},
                                   {{"-\x82\xa0"}, "-\x82\xa0"}};
  for (const Case &c : cases) {
    // Wine turns argument bytes that are not UTF-8 into '?'.
    if (windows_target() && c.shown.back() < 0)
      continue;
    SCOPED_TRACE(::testing::PrintToString(c.args));
    RunResult r = run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, BAD_OPTION_HEAD + c.shown + BAD_OPTION_TAIL);
    EXPECT_FALSE(exists("STOWPK.GBA"));
  }
}

TEST_F(CommandLine, ArgumentsThatAreNotOptionsAreIgnored) {
  const std::vector<Args> cases = {
      {}, {"/?"}, {"help"}, {"?"}, {""}, {"*"}, {"?x"}, {"root", "STOWPK.GBA"}};
  for (const Args &args : cases) {
    SCOPED_TRACE(::testing::PrintToString(args));
    RunResult r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, banner() + "\nNo.01 add file=root/a.bin\ndone\n");
    EXPECT_EQ(read_file("STOWPK.GBA"),
              expected_image(pattern(768, 7), {pattern(300, 1)}));
  }
}

TEST(Banner, NamesTheToolAndItsBuildDateAndTime) {
  static const std::regex form("stowpak by Quenby\\. "
                               "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|"
                               "Dec) [ 0-9][0-9] [0-9]{4} "
                               "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]");
  EXPECT_TRUE(std::regex_match(banner(), form)) << banner();
}

} // namespace
