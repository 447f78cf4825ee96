#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <grp.h>
#include <iconv.h>
#include <poll.h>
#include <regex>
#include <signal.h>
#include <sstream>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef STOWPAK_BINARY
#error "STOWPAK_BINARY must name the tool under test"
#endif

namespace {

const uid_t NOBODY = 65534;

// More output than any test expects; a tool that prints more is stopped.
const std::size_t OUTPUT_LIMIT = 16 << 20;

// The tool under test: STOWPAK_BINARY in the environment, else the one this
// suite was built with.
std::string tool_path() {
  const char *env = std::getenv("STOWPAK_BINARY");
  return env != nullptr && *env != '\0' ? env : STOWPAK_BINARY;
}

// The path of `program`: the tool under test, or the reader beside it.
std::string program_path(Program program) {
  const std::string tool = tool_path();
  if (program == Program::Tool)
    return tool;
  return tool.substr(0, tool.rfind('/') + 1) + "stowpak-list" +
         (windows_target() ? ".exe" : "");
}

// The program that runs a Windows build: STOWPAK_WINE, else Wine's loader.
std::string wine_path() {
  const char *env = std::getenv("STOWPAK_WINE");
  return env != nullptr && *env != '\0' ? env : "/usr/lib/wine/wine64";
}

// The locale Wine runs the Windows build in: STOWPAK_WINE_LANG, else one
// whose code page (1252) keeps ASCII.
std::string wine_lang() {
  const char *env = std::getenv("STOWPAK_WINE_LANG");
  return env != nullptr && *env != '\0' ? env : "C.UTF-8";
}

// Where Wine keeps its files for a run: as the environment says (the
// user's own) for the user running the suite in the default locale; else
// the suite's own, one per user and locale, made on first use and kept for
// later runs (the unprivileged user may not use root's files).
std::string wine_home(bool unprivileged) {
  if (!unprivileged && wine_lang() == "C.UTF-8")
    return "";
  return "/tmp/stowpak-test-wine-" +
         std::to_string(unprivileged ? NOBODY : geteuid()) + "-" + wine_lang();
}

// Sets the environment of a process that runs Wine with the files of
// `home` (wine_home), in the locale of the suite.
void use_wine_home(const std::string &home) {
  setenv("LANG", wine_lang().c_str(), 1);
  if (home.empty())
    return;
  setenv("HOME", home.c_str(), 1);
  setenv("WINEPREFIX", (home + "/.wine").c_str(), 1);
}

// Readies Wine for a run of the tool: its files are set up once, whichever
// test process comes first, since Wine reports that setup on stderr; its
// server is started first, so that it never starts under a file size limit
// meant for the tool (it stays for a while after the tests).
void prepare_wine(bool unprivileged) {
  const std::string home = wine_home(unprivileged);
  const uid_t user = unprivileged ? NOBODY : geteuid();
  const std::string ready = home + "/.ready";
  int lock = home.empty() ? -1
                          : open((home + ".lock").c_str(),
                                 O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (!home.empty() && (lock < 0 || flock(lock, LOCK_EX) != 0)) {
    ADD_FAILURE() << "lock for Wine's files: " << std::strerror(errno);
  } else if (!home.empty() && access(ready.c_str(), F_OK) != 0) {
    mkdir(home.c_str(), 0755);
    if (chown(home.c_str(), user, user) != 0)
      ADD_FAILURE() << "chown " << home;
    pid_t pid = fork();
    if (pid == 0) {
      int null = open("/dev/null", O_RDWR);
      if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 ||
          dup2(null, 2) < 0)
        _exit(127);
      if (unprivileged && (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 ||
                           setuid(NOBODY) != 0))
        _exit(127);
      use_wine_home(home);
      execl(wine_path().c_str(), wine_path().c_str(), "wineboot", "--init",
            static_cast<char *>(nullptr));
      _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || status != 0)
      ADD_FAILURE() << "Wine could not set up its files in " << home;
    else
      close(open(ready.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  }
  if (lock >= 0)
    close(lock); // and with it the lock
  static std::string started = "none";
  if (!unprivileged && started != home) {
    started = home;
    const std::string wine_dir = wine_path().substr(0, wine_path().rfind('/'));
    std::string command = "'" + wine_dir + "/wineserver' -p30 >/dev/null 2>&1";
    if (!home.empty())
      command = "WINEPREFIX='" + home + "/.wine' " + command;
    int server = std::system(command.c_str());
    (void)server; // a server that is already up is as good
  }
}

// Answers whether `byte` begins a two-byte character in code page 932.
bool cp932_lead_byte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// A Windows build writes each line feed as CR LF and joins paths with '\'.
// Answers `text` as a POSIX build would have written it, after checking
// that it has no bare line feed and no '/'. In code page 932 the second
// byte of a two-byte character may be 0x5C without being a '\'. The
// reader's text has no paths of its own: with `paths` false, only the line
// ends change.
std::string as_posix_text(const std::string &text, const char *stream,
                          bool paths = true) {
  std::string lines;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (windows_code_page() == 932 &&
        cp932_lead_byte(static_cast<unsigned char>(text[i])) &&
        i + 1 < text.size()) {
      lines += text.substr(i, 2);
      ++i;
      continue;
    }
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
      continue;
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
      ADD_FAILURE() << stream << " has a line feed without CR at " << i;
    if (!paths) {
      lines += text[i];
      continue;
    }
    if (text[i] == '/')
      ADD_FAILURE() << stream << " has a '/' at " << i << ": " << text;
    lines += text[i] == '\\' ? '/' : text[i];
  }
  return lines;
}

int chown_entry(const char *path, const struct stat *, int, struct FTW *) {
  return lchown(path, NOBODY, NOBODY);
}

// Makes every entry writable by its owner again, so the workspace can be
// removed whatever a test did to its modes.
int unlock_entry(const char *path, const struct stat *sb, int type,
                 struct FTW *) {
  if (type == FTW_D || type == FTW_DNR)
    chmod(path, 0700);
  else if (type == FTW_F && S_ISREG(sb->st_mode))
    chmod(path, 0600);
  return 0;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

void remove_tree(const std::string &dir) {
  // Entries a test locked are unlocked from the top down, then removed. A
  // pass cannot enter a directory it has just unlocked, so each pass reaches
  // one more level; the tests lock at most two levels deep.
  for (int pass = 0; pass < 3; ++pass)
    nftw(dir.c_str(), unlock_entry, 64, FTW_PHYS);
  nftw(dir.c_str(), remove_entry, 64, FTW_PHYS | FTW_DEPTH);
}

[[noreturn]] void child_fail(const char *what) {
  std::fprintf(stderr, "harness: %s: %s\n", what, std::strerror(errno));
  _exit(127);
}

} // namespace

std::string slurp_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

const std::string OPEN_ERROR = "\x83\x74\x83\x40\x83\x43\x83\x8b\x83\x49\x81"
                               "\x5b\x83\x76\x83\x93\x83\x47\x83\x89\x81\x5b:";
const std::string READ_ERROR = "\x83\x74\x83\x40\x83\x43\x83\x8b\x83\x8a\x81"
                               "\x5b\x83\x68\x83\x47\x83\x89\x81\x5b:";
const std::string WRITE_ERROR = "\x83\x74\x83\x40\x83\x43\x83\x8b\x83\x89\x83"
                                "\x43\x83\x67\x83\x47\x83\x89\x81\x5b:";
const std::string MEMORY_ERROR =
    "\x83\x81\x83\x82\x83\x8a\x8a\x6d\x95\xdb\x83\x47\x83\x89\x81\x5b\n";
const std::string PREPARE_ERROR =
    "\x91\x4f\x8f\x88\x97\x9d\x83\x47\x83\x89\x81\x5b\n";
const std::string FINISH_ERROR =
    "\x8c\xe3\x8f\x88\x97\x9d\x83\x47\x83\x89\x81\x5b\n";
const std::string BAD_OPTION_HEAD = "\x83\x49\x83\x76\x83\x56\x83\x87\x83\x93(";
const std::string BAD_OPTION_TAIL =
    ")\x82\xaa\x88\xd9\x8f\xed\x82\xc5\x82\xb7\x81\x42\n";
const std::string LOCATION = "stowpak.cpp:N\n";

void Workspace::SetUp() {
  char base[] = "/tmp/stowpak-test-XXXXXX";
  ASSERT_NE(mkdtemp(base), nullptr) << std::strerror(errno);
  base_ = base;
  chmod(base_.c_str(), 0755); // an unprivileged run must reach the workspace
  dir_ = base_ + "/ws";
  ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
}

void Workspace::TearDown() { remove_tree(base_); }

std::string Workspace::path(const std::string &rel) const {
  return dir_ + "/" + rel;
}

void Workspace::make_dir(const std::string &rel) {
  std::string full = dir_;
  std::stringstream parts(rel);
  std::string part;
  while (std::getline(parts, part, '/')) {
    full += "/" + part;
    if (mkdir(full.c_str(), 0755) != 0 && errno != EEXIST)
      FAIL() << "mkdir " << full << ": " << std::strerror(errno);
  }
}

void Workspace::make_parent(const std::string &rel) {
  std::size_t slash = rel.rfind('/');
  if (slash != std::string::npos)
    make_dir(rel.substr(0, slash));
}

void Workspace::write_file(const std::string &rel, const std::string &bytes) {
  make_parent(rel);
  std::ofstream out(path(rel), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "write " << rel;
}

void Workspace::make_link(const std::string &target, const std::string &rel) {
  make_parent(rel);
  ASSERT_EQ(symlink(target.c_str(), path(rel).c_str()), 0)
      << rel << ": " << std::strerror(errno);
}

void Workspace::remove_path(const std::string &rel) { remove_tree(path(rel)); }

void Workspace::make_fifo(const std::string &rel) {
  make_parent(rel);
  ASSERT_EQ(mkfifo(path(rel).c_str(), 0644), 0)
      << rel << ": " << std::strerror(errno);
}

std::string Workspace::read_file(const std::string &rel) const {
  EXPECT_TRUE(exists(rel)) << rel << " is missing";
  return slurp_file(path(rel));
}

bool Workspace::exists(const std::string &rel) const {
  struct stat sb;
  return lstat(path(rel).c_str(), &sb) == 0;
}

std::vector<std::string> Workspace::top_names() const {
  std::vector<std::string> names;
  DIR *dir = opendir(dir_.c_str());
  if (dir == nullptr)
    return names;
  while (struct dirent *entry = readdir(dir))
    if (std::strcmp(entry->d_name, ".") != 0 &&
        std::strcmp(entry->d_name, "..") != 0)
      names.push_back(entry->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

pid_t Workspace::start_beside_tool(const std::string &program,
                                   const std::vector<std::string> &args) {
  std::vector<std::string> words = {wine_path(), tool_dir() + "/" + program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &word : words)
    argv.push_back(&word[0]);
  argv.push_back(nullptr);
  prepare_wine(false);
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 ||
        dup2(null, 2) < 0 || chdir(dir_.c_str()) != 0)
      _exit(127);
    setenv("WINEDEBUG", "-all", 1);
    use_wine_home(wine_home(false));
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

RunResult Workspace::run(std::vector<std::string> args) {
  RunOptions options;
  options.args = std::move(args);
  return run(options);
}

RunResult Workspace::run(const RunOptions &options) {
  const std::string program = program_path(options.program);
  std::string tool = program;
  const bool drop_privileges = options.unprivileged && geteuid() == 0;
  if (drop_privileges) {
    nftw(dir_.c_str(), chown_entry, 64, FTW_PHYS);
    // The build folder may lie where that user cannot reach.
    tool = base_ + tool.substr(tool.rfind('/'));
    std::ofstream(tool, std::ios::binary) << slurp_file(program);
    chmod(tool.c_str(), 0755);
  }

  std::vector<std::string> words = options.wrapper;
  if (windows_target()) {
    prepare_wine(drop_privileges);
    words.push_back(wine_path());
  }
  words.push_back(tool);
  words.insert(words.end(), options.args.begin(), options.args.end());
  std::vector<char *> argv;
  for (std::string &word : words)
    argv.push_back(&word[0]);
  argv.push_back(nullptr);

  // Pipes, not files, so that a file size limit leaves the streams alone.
  int out_pipe[2], err_pipe[2];
  RunResult result{-1, "", ""};
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return result;
  }
  if (options.stdout_gone) {
    close(out_pipe[0]); // before the tool can write a byte
    out_pipe[0] = -1;
  }
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    if (in < 0 || dup2(in, 0) < 0 || dup2(out_pipe[1], 1) < 0)
      child_fail("redirect");
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (chdir((dir_ + "/" + options.directory).c_str()) != 0)
      child_fail("chdir");
    umask(options.umask);
    // For a sanitized build: a report must change the exit status.
    setenv("ASAN_OPTIONS", "exitcode=99", 0);
    if (windows_target()) {
      // Wine's own messages off; names in the code page of the locale.
      setenv("WINEDEBUG", "-all", 1);
      use_wine_home(wine_home(drop_privileges));
    }
    for (const std::string &entry : options.env)
      putenv(strdup(entry.c_str()));
    if (options.file_size_limit >= 0) {
      signal(SIGXFSZ, options.file_size_signal ? SIG_DFL : SIG_IGN);
      struct rlimit limit;
      limit.rlim_cur = limit.rlim_max =
          static_cast<rlim_t>(options.file_size_limit);
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        child_fail("setrlimit");
    }
    if (options.address_space_limit >= 0) {
      struct rlimit limit;
      limit.rlim_cur = limit.rlim_max =
          static_cast<rlim_t>(options.address_space_limit);
      if (setrlimit(RLIMIT_AS, &limit) != 0)
        child_fail("setrlimit");
    }
    if (drop_privileges) {
      if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 ||
          setuid(NOBODY) != 0)
        child_fail("drop privileges");
    }
    if (dup2(err_pipe[1], 2) < 0)
      child_fail("redirect");
    execvp(argv[0], argv.data());
    child_fail("exec");
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    close(out_pipe[0]);
    close(err_pipe[0]);
    return result;
  }

  // Drain both streams until they close, the tool has exited and they hold
  // nothing more (helpers that Wine starts may keep them open), or the time
  // is up.
  if (out_pipe[0] >= 0)
    fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
  fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);
  struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  int open_streams = options.stdout_gone ? 1 : 2;
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  bool timed_out = false;
  bool overflowed = false;
  bool exited = false;
  bool signalled = false;
  int wait_status = 0;
  while (open_streams > 0 && !overflowed) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long elapsed_ms = (now.tv_sec - start.tv_sec) * 1000 +
                      (now.tv_nsec - start.tv_nsec) / 1000000;
    long left_ms = options.timeout_seconds * 1000L - elapsed_ms;
    if (left_ms <= 0) {
      timed_out = true;
      break;
    }
    if (options.kill_after_ms >= 0 && !signalled) {
      if (elapsed_ms >= options.kill_after_ms) {
        kill(pid, options.kill_signal);
        signalled = true;
        if (options.kill_signal == SIGKILL)
          break;
      } else {
        left_ms = std::min(left_ms, options.kill_after_ms - elapsed_ms);
      }
    }
    if (!exited && waitpid(pid, &wait_status, WNOHANG) == pid)
      exited = true;
    if (poll(fds, 2, static_cast<int>(std::min(left_ms, 50L))) < 0 &&
        errno != EINTR)
      break;
    bool drained = true;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0)
        continue;
      char chunk[65536];
      ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        drained = false;
        if (sinks[i]->size() < OUTPUT_LIMIT)
          sinks[i]->append(chunk, static_cast<std::size_t>(n));
        else
          overflowed = true;
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_streams;
      }
    }
    if (exited && drained)
      break;
  }
  if (timed_out || overflowed) {
    kill(pid, SIGKILL);
    ADD_FAILURE() << (timed_out ? "the tool did not finish in time"
                                : "the tool printed far too much");
  }
  for (struct pollfd &fd : fds)
    if (fd.fd >= 0)
      close(fd.fd);
  if (!exited)
    waitpid(pid, &wait_status, 0);
  if (WIFEXITED(wait_status) && !timed_out && !overflowed)
    result.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status) && !timed_out && !overflowed)
    result.signal = WTERMSIG(wait_status);
  if (windows_target()) {
    const bool paths = options.program == Program::Tool;
    result.out = as_posix_text(result.out, "stdout", paths);
    result.err = as_posix_text(result.err, "stderr", paths);
  }
  // A sanitized build of the tool reports on stderr; any report is a fault.
  for (const char *report : {"Sanitizer", "runtime error:"})
    if (result.err.find(report) != std::string::npos)
      ADD_FAILURE() << "the tool reported a fault:\n" << result.err;
  return result;
}

bool windows_target() {
  const std::string tool = tool_path();
  return tool.size() > 4 && tool.compare(tool.size() - 4, 4, ".exe") == 0;
}

int windows_code_page() {
  if (!windows_target())
    return 0;
  return wine_lang().compare(0, 5, "ja_JP") == 0 ? 932 : 1252;
}

std::string narrow(const std::string &utf8) {
  if (!windows_target())
    return utf8;
  const char *code_page = windows_code_page() == 932 ? "CP932" : "CP1252";
  iconv_t to = iconv_open(code_page, "UTF-8");
  iconv_t back = iconv_open("UTF-8", code_page);
  std::string bytes;
  for (std::size_t i = 0; i < utf8.size();) {
    // One character at a time: it is held as itself, or it is a '?'.
    std::size_t length = 1;
    unsigned char lead = static_cast<unsigned char>(utf8[i]);
    if (lead >= 0xF0)
      length = 4;
    else if (lead >= 0xE0)
      length = 3;
    else if (lead >= 0xC0)
      length = 2;
    std::string character = utf8.substr(i, length);
    i += length;
    char out[8], again[8];
    char *in = &character[0], *to_out = out, *again_out = again;
    std::size_t in_left = character.size(), out_left = sizeof out;
    std::size_t again_left = sizeof again;
    if (iconv(to, &in, &in_left, &to_out, &out_left) ==
        static_cast<size_t>(-1)) {
      bytes += '?';
      continue;
    }
    char *converted = out;
    std::size_t converted_left = sizeof out - out_left;
    iconv(back, &converted, &converted_left, &again_out, &again_left);
    std::string round(again, sizeof again - again_left);
    bytes += round == character ? std::string(out, sizeof out - out_left) : "?";
  }
  iconv_close(to);
  iconv_close(back);
  return bytes;
}

std::string tool_dir() {
  const std::string tool = tool_path();
  return tool.substr(0, tool.rfind('/'));
}

bool sanitized_target() {
#ifdef STOWPAK_SANITIZED_BINARY
  return tool_path() == STOWPAK_SANITIZED_BINARY;
#else
  return false;
#endif
}

RunOptions unprivileged() {
  RunOptions options;
  options.unprivileged = true;
  return options;
}

RunOptions with_faults(std::vector<std::string> settings) {
  RunOptions options;
  options.env = std::move(settings);
  std::string preload = STOWPAK_FAULT_SHIM;
#ifdef STOWPAK_SANITIZER_RUNTIME
  if (sanitized_target())
    preload = STOWPAK_SANITIZER_RUNTIME ":" + preload;
#endif
  options.env.push_back("LD_PRELOAD=" + preload);
  return options;
}

const std::string &banner() {
  static const std::string line = [] {
    std::string command = "'" + tool_path() + "' -h 2>&1";
    if (windows_target()) {
      prepare_wine(false);
      std::string home = wine_home(false);
      command = "WINEDEBUG=-all LANG=" + wine_lang() +
                (home.empty() ? "" : " WINEPREFIX='" + home + "/.wine'") +
                " '" + wine_path() + "' " + command;
    }
    // The banner is the line before the usage line: anything Wine itself
    // may say on stderr comes before it. A run that shows no usage line is
    // tried again.
    std::string text;
    for (int attempt = 0; attempt < 3; ++attempt) {
      FILE *pipe = popen(command.c_str(), "r");
      text.clear();
      char chunk[256];
      while (pipe != nullptr &&
             std::fgets(chunk, sizeof chunk, pipe) != nullptr)
        text += chunk;
      if (pipe != nullptr)
        pclose(pipe);
      text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
      std::size_t usage = text.find("\nUsage: stowpak \n");
      if (usage != std::string::npos) {
        std::size_t start = text.rfind('\n', usage - 1);
        return text.substr(start == std::string::npos ? 0 : start + 1,
                           usage -
                               (start == std::string::npos ? 0 : start + 1));
      }
    }
    ADD_FAILURE() << "no usage text from the tool: " << text;
    return std::string();
  }();
  return line;
}

std::string without_line_numbers(const std::string &out) {
  static const std::regex location("(^|\n)stowpak\\.cpp:[0-9]+\n");
  return std::regex_replace(out, location, "$1stowpak.cpp:N\n");
}

std::string build_lines(const RunResult &r) {
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const std::string head = banner() + "\n";
  const std::string tail = "done\n";
  if (r.out.size() < head.size() + tail.size() ||
      r.out.compare(0, head.size(), head) != 0 ||
      r.out.compare(r.out.size() - tail.size(), tail.size(), tail) != 0) {
    ADD_FAILURE() << "unexpected output: " << r.out;
    return r.out;
  }
  return without_line_numbers(
      r.out.substr(head.size(), r.out.size() - head.size() - tail.size()));
}

std::vector<int> location_numbers(const std::string &out) {
  static const std::regex location("(^|\n)stowpak\\.cpp:([0-9]+)\n");
  std::vector<int> numbers;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), location);
       it != std::sregex_iterator(); ++it)
    numbers.push_back(std::stoi((*it)[2]));
  return numbers;
}

std::string pattern(std::size_t n, unsigned seed) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i)
    bytes[i] = static_cast<char>((seed + i) % 251 + 1);
  return bytes;
}

std::string progress_line(std::size_t number, const std::string &path) {
  char shown[24];
  std::snprintf(shown, sizeof shown, "No.%02zu", number);
  return shown + (" add file=" + path) + "\n";
}

std::string progress(const std::vector<std::string> &paths) {
  std::string lines;
  for (std::size_t i = 0; i < paths.size(); ++i)
    lines += progress_line(i + 1, paths[i]);
  return lines;
}

std::uint32_t word_at(const std::string &image, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(image.at(offset + i));
  return value;
}

namespace {

void put_word(std::string &image, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    image[offset + i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

// Bytes [from, from + n) of `file`, zero where the file is shorter.
std::string field(const std::string &file, std::size_t from, std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n && from + i < file.size(); ++i)
    bytes[i] = file[from + i];
  return bytes;
}

} // namespace

std::string expected_image(const std::string &header,
                           const std::vector<std::string> &sources) {
  const std::size_t n = sources.size();
  std::string image = field(header, 0, 768);
  put_word(image, 256, static_cast<std::uint32_t>(n));
  for (std::size_t slot = 0; slot < 64; ++slot)
    put_word(image, 512 + 4 * slot,
             slot <= n ? static_cast<std::uint32_t>(768 + slot * 20096) : 0);
  for (std::size_t s = 0; s < n; ++s) {
    const std::string &file = sources[s];
    std::string label = field(file, 96, 32);
    std::size_t nul = label.find('\0');
    if (nul != std::string::npos && nul < 28) {
      char suffix[24];
      std::snprintf(suffix, sizeof suffix, "(%02zu)", s + 1);
      label.replace(nul, 5, std::string(suffix, 5));
    }
    image += field(file, 64, 32) + label + std::string(32, '\0') +
             field(file, 160, 20000);
  }
  image += std::string(20096, '\0');
  return image;
}
