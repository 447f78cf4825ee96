// A preload library that makes faults happen inside the shipped tool, so the
// tests can see how it copes with them. Each fault is chosen by the
// environment; with none set, every call goes straight through.
//
//   STOWPAK_FAIL_ALLOC=N        the allocation of N bytes (calloc's product,
//                               malloc's or aligned_alloc's size) fails
//                               with ENOMEM.
//   STOWPAK_OPEN_LOG=FILE       each path the tool opens, lists or takes the
//                               status of is appended to FILE, one a line;
//                               a name opened relative to a folder is
//                               logged with the folder's path.
//   STOWPAK_KILL_AT=WHEN        the process is killed (SIGKILL, or the
//                               signal STOWPAK_SIGNAL names: INT, TERM,
//                               HUP, which the tool may catch): "write:N"
//                               once N bytes have reached regular files (the
//                               write that crosses N writes only up to it),
//                               "fsync" after a sync, "rename" before the
//                               rename, "renamed" after it.
//   STOWPAK_CHANGE=CALL:WHAT:PATH  just before the first CALL ("stat" or
//                               "open") naming PATH, the entry at PATH is
//                               removed ("gone") or replaced by an empty
//                               directory ("dir") or a named pipe ("fifo"). A
//                               call relative to a folder names the folder's
//                               path and the name.
//   STOWPAK_ALIAS=PATH:REF:N    a status of PATH taken by the tool tells the
//                               inode of REF and its device plus N, as if
//                               PATH were REF (N 0) or a folder with REF's
//                               number on another device.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// dlsym may allocate before the real allocator is known; such blocks come
// from here and are never freed.
alignas(16) unsigned char bootstrap[4096];
std::size_t bootstrap_used = 0;
bool resolving = false;

void *bootstrap_alloc(std::size_t size) {
  size = (size + 15) & ~static_cast<std::size_t>(15);
  if (bootstrap_used + size > sizeof bootstrap)
    return nullptr;
  void *block = bootstrap + bootstrap_used;
  bootstrap_used += size;
  return block; // static storage: already zero
}

bool from_bootstrap(void *p) {
  return p >= static_cast<void *>(bootstrap) &&
         p < static_cast<void *>(bootstrap + sizeof bootstrap);
}

template <typename F> F next(const char *name) {
  resolving = true;
  void *symbol = dlsym(RTLD_NEXT, name);
  resolving = false;
  return reinterpret_cast<F>(symbol);
}

bool fails(std::size_t size) {
  const char *target = std::getenv("STOWPAK_FAIL_ALLOC");
  return target != nullptr && std::strtoull(target, nullptr, 10) == size;
}

void log_path(const char *path) {
  const char *log = std::getenv("STOWPAK_OPEN_LOG");
  if (log == nullptr)
    return;
  static auto real_open = next<int (*)(const char *, int, ...)>("open");
  int fd = real_open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return;
  // Test scaffolding: a lost log line shows up as a failed expectation.
  (void)!write(fd, path, std::strlen(path));
  (void)!write(fd, "\n", 1);
  close(fd);
}

bool kill_at(const char *when) {
  const char *at = std::getenv("STOWPAK_KILL_AT");
  return at != nullptr && std::strcmp(at, when) == 0;
}

// Sends the process SIGKILL, or the signal STOWPAK_SIGNAL names. Returns
// only when that signal is blocked: the process then meets it once it lets
// it through. A caught signal that did not end the process is followed by
// SIGKILL, which the test sees.
void interrupt() {
  const char *name = std::getenv("STOWPAK_SIGNAL");
  int signal = SIGKILL;
  if (name != nullptr)
    signal = std::strcmp(name, "INT") == 0    ? SIGINT
             : std::strcmp(name, "TERM") == 0 ? SIGTERM
             : std::strcmp(name, "HUP") == 0  ? SIGHUP
                                              : SIGKILL;
  kill(getpid(), signal);
  sigset_t blocked;
  if (sigprocmask(SIG_BLOCK, nullptr, &blocked) == 0 &&
      sigismember(&blocked, signal) == 1)
    return;
  kill(getpid(), SIGKILL);
}

// Applies STOWPAK_CHANGE once, when `call` names its path.
void change_before(const char *call, const char *path) {
  static bool done = false;
  const char *setting = std::getenv("STOWPAK_CHANGE");
  if (done || setting == nullptr)
    return;
  std::size_t call_length = std::strlen(call);
  if (std::strncmp(setting, call, call_length) != 0 ||
      setting[call_length] != ':')
    return;
  const char *what = setting + call_length + 1;
  const char *target = std::strchr(what, ':');
  if (target == nullptr || std::strcmp(target + 1, path) != 0)
    return;
  done = true;
  if (unlink(path) != 0)
    rmdir(path); // an entry that is neither stays, and the test sees it
  if (std::strncmp(what, "dir:", 4) == 0)
    mkdir(path, 0755);
  else if (std::strncmp(what, "fifo:", 5) == 0)
    mkfifo(path, 0644);
}

// Applies STOWPAK_ALIAS to the status `buf` of `path`.
void alias_status(const char *path, struct stat *buf) {
  const char *setting = std::getenv("STOWPAK_ALIAS");
  if (setting == nullptr)
    return;
  const char *ref = std::strchr(setting, ':');
  const char *delta = ref != nullptr ? std::strchr(ref + 1, ':') : nullptr;
  if (delta == nullptr ||
      std::strncmp(setting, path, static_cast<std::size_t>(ref - setting)) !=
          0 ||
      path[ref - setting] != '\0')
    return;
  char ref_path[4096];
  std::snprintf(ref_path, sizeof ref_path, "%.*s",
                static_cast<int>(delta - ref - 1), ref + 1);
  static auto real_stat = next<int (*)(const char *, struct stat *)>("stat");
  struct stat ref_status;
  if (real_stat(ref_path, &ref_status) != 0)
    return;
  buf->st_ino = ref_status.st_ino;
  buf->st_dev = ref_status.st_dev + std::strtoul(delta + 1, nullptr, 10);
}

// Writes into `out` the path that `name` has relative to the open folder
// `dirfd`: relative to the working folder where the folder lies below it.
void resolve_at(int dirfd, const char *name, char *out, std::size_t size) {
  char dir[4096];
  char cwd[4096];
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
  ssize_t n = dirfd == AT_FDCWD || name[0] == '/'
                  ? -1
                  : readlink(link, dir, sizeof dir - 1);
  if (n < 0 || getcwd(cwd, sizeof cwd) == nullptr) {
    std::snprintf(out, size, "%s", name);
    return;
  }
  dir[n] = '\0';
  std::size_t cwd_length = std::strlen(cwd);
  const char *shown = dir;
  if (std::strncmp(dir, cwd, cwd_length) == 0 && dir[cwd_length] == '/')
    shown = dir + cwd_length + 1;
  std::snprintf(out, size, "%s/%s", shown, name);
}

} // namespace

extern "C" {

void *calloc(std::size_t count, std::size_t size) {
  if (resolving)
    return bootstrap_alloc(count * size);
  if (fails(count * size)) {
    errno = ENOMEM;
    return nullptr;
  }
  static auto real = next<void *(*)(std::size_t, std::size_t)>("calloc");
  return real(count, size);
}

void *malloc(std::size_t size) {
  if (resolving)
    return bootstrap_alloc(size);
  if (fails(size)) {
    errno = ENOMEM;
    return nullptr;
  }
  static auto real = next<void *(*)(std::size_t)>("malloc");
  return real(size);
}

void *aligned_alloc(std::size_t alignment, std::size_t size) {
  if (fails(size)) {
    errno = ENOMEM;
    return nullptr;
  }
  static auto real = next<void *(*)(std::size_t, std::size_t)>("aligned_alloc");
  return real(alignment, size);
}

void free(void *p) {
  if (p == nullptr || from_bootstrap(p))
    return;
  static auto real = next<void (*)(void *)>("free");
  real(p);
}

int open(const char *path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  log_path(path);
  change_before("open", path);
  static auto real = next<int (*)(const char *, int, ...)>("open");
  return real(path, flags, mode);
}

int openat(int dirfd, const char *name, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  char path[8192];
  resolve_at(dirfd, name, path, sizeof path);
  log_path(path);
  change_before("open", path);
  static auto real = next<int (*)(int, const char *, int, ...)>("openat");
  return real(dirfd, name, flags, mode);
}

int fstatat(int dirfd, const char *name, struct stat *buf, int flags) {
  char path[8192];
  resolve_at(dirfd, name, path, sizeof path);
  log_path(path);
  change_before("stat", path);
  static auto real =
      next<int (*)(int, const char *, struct stat *, int)>("fstatat");
  int result = real(dirfd, name, buf, flags);
  if (result == 0)
    alias_status(path, buf);
  return result;
}

DIR *opendir(const char *path) {
  log_path(path);
  change_before("open", path);
  static auto real = next<DIR *(*)(const char *)>("opendir");
  return real(path);
}

int stat(const char *path, struct stat *buf) {
  log_path(path);
  change_before("stat", path);
  static auto real = next<int (*)(const char *, struct stat *)>("stat");
  int result = real(path, buf);
  if (result == 0)
    alias_status(path, buf);
  return result;
}

ssize_t write(int fd, const void *data, std::size_t size) {
  static auto real = next<ssize_t (*)(int, const void *, std::size_t)>("write");
  static unsigned long long written = 0;
  const char *at = std::getenv("STOWPAK_KILL_AT");
  struct stat sb;
  if (at == nullptr || std::strncmp(at, "write:", 6) != 0 ||
      fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode))
    return real(fd, data, size);
  unsigned long long limit = std::strtoull(at + 6, nullptr, 10);
  if (written + size < limit) {
    ssize_t n = real(fd, data, size);
    if (n > 0)
      written += static_cast<unsigned long long>(n);
    return n;
  }
  // The process is interrupted after a short write, which it may take as
  // any other if the signal is blocked.
  ssize_t n = real(fd, data, static_cast<std::size_t>(limit - written));
  interrupt();
  if (n > 0)
    written += static_cast<unsigned long long>(n);
  return n;
}

int fsync(int fd) {
  static auto real = next<int (*)(int)>("fsync");
  int result = real(fd);
  if (kill_at("fsync"))
    interrupt();
  return result;
}

int rename(const char *from, const char *to) {
  if (kill_at("rename"))
    interrupt();
  static auto real = next<int (*)(const char *, const char *)>("rename");
  int result = real(from, to);
  if (kill_at("renamed"))
    interrupt();
  return result;
}
}
