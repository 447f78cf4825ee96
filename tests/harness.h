// Runs the built tool as a separate process in a fresh workspace and
// captures what it does, for black-box tests.
#ifndef STOWPAK_TESTS_HARNESS_H
#define STOWPAK_TESTS_HARNESS_H

#include <gtest/gtest.h>

#include <string>
#include <sys/types.h>
#include <vector>

// What one run of the tool did. `status` is the exit status, or -1 when the
// run was killed or timed out; `signal` the signal that ended it, or 0.
struct RunResult {
  int status;
  std::string out;
  std::string err;
  int signal = 0;
};

// The programs a test can run: the tool, or the reader stowpak-list, which
// is the file of that name (with ".exe" for a Windows build) beside the
// tool under test.
enum class Program { Tool, Reader };

// How to run the tool, beyond its arguments.
struct RunOptions {
  std::vector<std::string> args;
  Program program = Program::Tool;
  // Run as an unprivileged user even when the tests run as root: the
  // workspace is handed to that user first.
  bool unprivileged = false;
  // A limit on the size of files the tool may write, or -1. SIGXFSZ is
  // ignored unless `file_size_signal` is set, which leaves it at its
  // default action.
  long file_size_limit = -1;
  bool file_size_signal = false;
  // The folder the tool runs in, relative to the workspace.
  std::string directory = ".";
  // A limit on the tool's address space in bytes, or -1.
  long address_space_limit = -1;
  // Extra environment entries, "NAME=value".
  std::vector<std::string> env;
  mode_t umask = 022;
  int timeout_seconds = 30;
  // Send the tool `kill_signal` this many milliseconds after it starts, or
  // -1; the run's result is taken once it has ended.
  int kill_after_ms = -1;
  int kill_signal = 9; // SIGKILL
  // Standard output is a pipe whose reader has gone.
  bool stdout_gone = false;
  // A command that runs the tool, such as a memory checker, or empty.
  std::vector<std::string> wrapper;
};

// Whether the tool under test is a Windows build (its name ends in ".exe").
// It runs under Wine; its output is checked for CR LF line ends and '\'
// separators and handed to the tests in the POSIX form, with '/'.
bool windows_target();

// The code page of a Windows build's names and messages under Wine: 932
// when the suite runs it in a Japanese locale (STOWPAK_WINE_LANG, with a
// Wine prefix of its own in WINEPREFIX), else 1252; 0 for a POSIX build,
// which takes names as the file system's bytes.
int windows_code_page();

// The bytes the tool prints for the name or path `utf8` as the file system
// holds it: the same bytes on POSIX; on Windows the code page's bytes, with
// '?' for each character that the code page does not hold as itself.
std::string narrow(const std::string &utf8);

// The folder that holds the tool under test.
std::string tool_dir();

// Whether the tool under test is the sanitized build. Its allocator comes
// first, so the fault library cannot make an allocation fail there.
bool sanitized_target();

// Options that run the tool as an unprivileged user.
RunOptions unprivileged();

// Options that load the fault library into the tool, with its settings
// ("STOWPAK_...=value").
RunOptions with_faults(std::vector<std::string> settings);

// A fresh temporary workspace per test; the tool runs with it as its
// working directory.
class Workspace : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // The absolute path of `rel` inside the workspace.
  std::string path(const std::string &rel) const;
  // Creates the parent directories of `rel`.
  void make_parent(const std::string &rel);
  // Creates the file `rel` holding `bytes`. This and the calls below create
  // the parent directories first.
  void write_file(const std::string &rel, const std::string &bytes);
  // Creates the directory `rel` and its parents.
  void make_dir(const std::string &rel);
  // Creates the symbolic link `rel` pointing at `target`.
  void make_link(const std::string &target, const std::string &rel);
  // Removes `rel` and everything below it, if it exists.
  void remove_path(const std::string &rel);
  // Creates the named pipe `rel`.
  void make_fifo(const std::string &rel);
  // Answers the bytes of the file `rel`; fails the test if it is missing.
  std::string read_file(const std::string &rel) const;
  bool exists(const std::string &rel) const;
  // The names in the workspace directory itself, sorted.
  std::vector<std::string> top_names() const;

  // Starts the Windows program `program`, found beside the tool under
  // test, with `args`, under Wine as the tool runs, in the workspace, and
  // answers its process id (-1 when it cannot be started). Its output is
  // dropped; the caller waits for it.
  pid_t start_beside_tool(const std::string &program,
                          const std::vector<std::string> &args);

  RunResult run(const RunOptions &options);
  RunResult run(std::vector<std::string> args = {});

  std::string base_; // holds the workspace and the captured streams
  std::string dir_;  // the workspace
};

// The first line of every build run and of the usage text, as this build of
// the tool prints it, without its line feed.
const std::string &banner();

// The bytes of the file at `path`, or nothing if it cannot be read.
std::string slurp_file(const std::string &path);

// `out` with every location line ("stowpak.cpp:<digits>") written as
// "stowpak.cpp:N", for comparing whole outputs.
std::string without_line_numbers(const std::string &out);

// The lines of a build between the banner and "done", location lines
// written as without_line_numbers does, after checking the banner, "done",
// an empty stderr and the exit status 0.
std::string build_lines(const RunResult &r);

// The line numbers of the location lines in `out`, in order.
std::vector<int> location_numbers(const std::string &out);

// Shift_JIS messages, as the tool prints them.
extern const std::string OPEN_ERROR;   // followed by the path and "\n"
extern const std::string READ_ERROR;   // followed by the path and "\n"
extern const std::string WRITE_ERROR;  // followed by the path and "\n"
extern const std::string MEMORY_ERROR; // whole line
extern const std::string PREPARE_ERROR;
extern const std::string FINISH_ERROR;
extern const std::string BAD_OPTION_HEAD; // before the option
extern const std::string BAD_OPTION_TAIL; // after it, with "\n"

// The location line as without_line_numbers writes it.
extern const std::string LOCATION;

// `n` bytes counting up from `seed`, wrapping at 251 so that no two nearby
// offsets hold the same byte; no byte is zero.
std::string pattern(std::size_t n, unsigned seed);

// The progress line for `path` added as record `number`.
std::string progress_line(std::size_t number, const std::string &path);

// The progress lines for `paths` added as records 1, 2, ...
std::string progress(const std::vector<std::string> &paths);

// A 32-bit little-endian integer read from `image` at `offset`.
std::uint32_t word_at(const std::string &image, std::size_t offset);

// The image the tool must write for `header` (the template's bytes) and the
// given source files' contents, in record order.
std::string expected_image(const std::string &header,
                           const std::vector<std::string> &sources);

#endif
