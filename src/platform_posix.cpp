// The platform services on POSIX systems.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

const char PATH_SEPARATOR = '/';

// The huge page size of the common 64-bit processors.
const std::size_t HUGE_PAGE_SIZE = std::size_t(2) << 20;

// A block of at least half a huge page is obtained as whole huge pages,
// aligned to one, and marked for huge pages: the system then backs it with
// one page fault where small pages would take hundreds.
void *allocate_zeroed(std::size_t size) {
  if (size < HUGE_PAGE_SIZE / 2)
    return std::calloc(size, 1);
  std::size_t whole = (size + HUGE_PAGE_SIZE - 1) / HUGE_PAGE_SIZE;
  void *block = std::aligned_alloc(HUGE_PAGE_SIZE, whole * HUGE_PAGE_SIZE);
  if (block == nullptr)
    return nullptr;
  // Only advice: where huge pages are not offered, small ones serve.
  madvise(block, whole * HUGE_PAGE_SIZE, MADV_HUGEPAGE);
  std::memset(block, 0, size);
  return block;
}

// Answers the kind of a status's mode.
static FileKind kind_of(mode_t mode) {
  if (S_ISREG(mode))
    return KIND_REGULAR;
  if (S_ISDIR(mode))
    return KIND_DIRECTORY;
  return KIND_OTHER;
}

// Fills `status` from `sta`.
static void take_status(const struct stat &sta, FileStatus *status) {
  status->kind = kind_of(sta.st_mode);
  status->device = static_cast<std::uint64_t>(sta.st_dev);
  status->inode = static_cast<std::uint64_t>(sta.st_ino);
}

// The smallest block that allocate_block backs at once.
const std::size_t BACKED_BLOCK_MIN = 64 * 1024;

// Backs the whole pages among the `size` bytes at `start` at once.
static void back_pages(void *start, std::size_t size) {
  const std::uintptr_t page = 4096;
  std::uintptr_t at = reinterpret_cast<std::uintptr_t>(start);
  std::uintptr_t first = (at + page - 1) & ~(page - 1);
  std::uintptr_t end = (at + size) & ~(page - 1);
#ifdef MADV_POPULATE_WRITE
  // Only advice: a system without it faults the pages in as they are used.
  if (end > first)
    madvise(reinterpret_cast<void *>(first), end - first, MADV_POPULATE_WRITE);
#else
  (void)first; // C library headers older than the advice: pages fault in
  (void)end;
#endif
}

void *allocate_block(std::size_t size) {
  void *block = std::malloc(size);
  if (block != nullptr && size >= BACKED_BLOCK_MIN)
    back_pages(block, size);
  return block;
}

void *grow_block(void *block, std::size_t size, std::size_t new_size) {
  void *grown = std::realloc(block, new_size);
  if (grown != nullptr && new_size >= BACKED_BLOCK_MIN)
    back_pages(static_cast<unsigned char *>(grown) + size, new_size - size);
  return grown;
}

int file_status(const char *path, FileStatus *status) {
  struct stat sta;
  if (stat(path, &sta) != 0)
    return -1;
  take_status(sta, status);
  return 0;
}

// The bytes asked of the system for a listing at a time.
const std::size_t LISTING_BLOCK_SIZE = 64 * 1024;

struct DirListing {
  int fd;
  unsigned char *block; // null once the listing has ended
  std::size_t filled;
  std::size_t offset;
};

// Answers the number of bytes of the well-formed UTF-8 sequence at the start
// of `s` (`n` bytes), or 0 when it is not one.
static std::size_t utf8_sequence(const unsigned char *s, std::size_t n,
                                 std::uint32_t *code_point) {
  unsigned char lead = s[0];
  std::size_t length;
  std::uint32_t value;
  unsigned char low = 0x80, high = 0xBF; // the second byte's range
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0)
      low = 0xA0;
    else if (lead == 0xED)
      high = 0x9F; // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0)
      low = 0x90;
    else if (lead == 0xF4)
      high = 0x8F; // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (n < length || s[1] < low || s[1] > high)
    return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((s[i] & 0xC0) != 0x80)
      return 0;
    value = value << 6 | (s[i] & 0x3F);
  }
  *code_point = value;
  return length;
}

std::size_t name_units(const char *name, std::size_t length,
                       std::uint16_t *units) {
  const unsigned char *s = reinterpret_cast<const unsigned char *>(name);
  std::size_t count = 0;
  for (std::size_t i = 0; i < length && count + 2 <= NAME_UNITS_MAX;) {
    std::uint32_t code_point;
    std::size_t used = utf8_sequence(s + i, length - i, &code_point);
    if (used == 0) {
      // A byte of an ill-formed sequence stands for itself, escaped.
      units[count++] = static_cast<std::uint16_t>(0xDC00 + s[i]);
      i += 1;
    } else if (code_point >= 0x10000) {
      code_point -= 0x10000;
      units[count++] = static_cast<std::uint16_t>(0xD800 + (code_point >> 10));
      units[count++] =
          static_cast<std::uint16_t>(0xDC00 + (code_point & 0x3FF));
      i += used;
    } else {
      units[count++] = static_cast<std::uint16_t>(code_point);
      i += used;
    }
  }
  return count;
}

DirListing *dir_open(const DirListing *parent, const char *name,
                     const char *path) {
  // O_NONBLOCK: whatever takes the folder's place, the open never waits.
  int fd = openat(parent != nullptr ? parent->fd : AT_FDCWD,
                  parent != nullptr ? name : path,
                  O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return nullptr;
  DirListing *listing =
      static_cast<DirListing *>(std::malloc(sizeof(DirListing)));
  unsigned char *block =
      static_cast<unsigned char *>(std::malloc(LISTING_BLOCK_SIZE));
  if (listing == nullptr || block == nullptr) {
    std::free(listing);
    std::free(block);
    close(fd); // never read: nothing to lose
    errno = ENOMEM;
    return nullptr;
  }
  listing->fd = fd;
  listing->block = block;
  listing->filled = 0;
  listing->offset = 0;
  return listing;
}

// Answers the kind that a listing's type byte tells.
static FileKind kind_of_type(unsigned char type) {
  switch (type) {
  case DT_REG:
    return KIND_REGULAR;
  case DT_DIR:
    return KIND_DIRECTORY;
  case DT_LNK:
  case DT_UNKNOWN:
    return KIND_UNKNOWN;
  default:
    return KIND_OTHER;
  }
}

int dir_next(DirListing *listing, DirEntry *entry) {
  if (listing->block == nullptr)
    return 0;
  if (listing->offset >= listing->filled) {
    ssize_t n = getdents64(listing->fd, listing->block, LISTING_BLOCK_SIZE);
    if (n <= 0) {
      // The end, or a read error, which ends the listing too; the block is
      // not needed while the folders below are walked.
      std::free(listing->block);
      listing->block = nullptr;
      return 0;
    }
    listing->filled = static_cast<std::size_t>(n);
    listing->offset = 0;
  }
  const struct dirent64 *record = reinterpret_cast<const struct dirent64 *>(
      listing->block + listing->offset);
  listing->offset += record->d_reclen;
  entry->name = record->d_name;
  entry->name_length = std::strlen(record->d_name);
  entry->kind = kind_of_type(record->d_type);
  entry->representable = true;
  entry->units = nullptr; // those of the name, if needed
  entry->unit_count = 0;
  return 1;
}

int dir_rewind(DirListing *listing) {
  if (listing->block == nullptr) {
    listing->block =
        static_cast<unsigned char *>(std::malloc(LISTING_BLOCK_SIZE));
    if (listing->block == nullptr) {
      errno = ENOMEM;
      return -1;
    }
  }
  listing->filled = 0;
  listing->offset = 0;
  if (lseek(listing->fd, 0, SEEK_SET) != 0) {
    std::free(listing->block); // no more entries, as at the end
    listing->block = nullptr;
  }
  return 0;
}

int entry_status(const DirListing *parent, const char *name, const char *path,
                 FileStatus *status) {
  (void)path; // the open folder and the name are enough here
  struct stat sta;
  if (fstatat(parent->fd, name, &sta, 0) != 0)
    return -1;
  take_status(sta, status);
  return 0;
}

void dir_close(DirListing *listing) {
  close(listing->fd); // nothing to do if it fails: the listing is done
  std::free(listing->block);
  std::free(listing);
}

IoResult read_file_head(const char *path, unsigned char *buffer,
                        std::size_t size, std::size_t *got) {
  *got = 0;
  // O_NONBLOCK: a pipe put in a file's place must not make the tool wait.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return IO_OPEN_FAILED;
  // Only a regular file is read, whatever the listing said it was.
  struct stat sta;
  int status = fstat(fd, &sta);
  if (status != 0 || !S_ISREG(sta.st_mode)) {
    int error = status != 0 ? errno : S_ISDIR(sta.st_mode) ? EISDIR : EINVAL;
    close(fd); // never read: nothing to lose
    errno = error;
    return IO_OPEN_FAILED;
  }
  IoResult result = IO_OK;
  while (*got < size) {
    ssize_t n = read(fd, buffer + *got, size - *got);
    if (n > 0) {
      *got += static_cast<std::size_t>(n);
    } else if (n == 0 || errno == EAGAIN) {
      break;
    } else if (errno != EINTR) {
      result = IO_READ_FAILED;
      break;
    }
  }
  close(fd); // a file only read has nothing left to lose
  return result;
}

// Writes all `size` bytes of `data` to `fd`. Answers 0 or -1.
static int write_all(int fd, const unsigned char *data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return -1;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

// The temporary file of the replacement under way, if any: what the
// handler of an interrupt removes before the process ends. `temp_armed` is
// set only while the signals below are blocked, so that a handler never
// sees a name half written.
static char temp_path[4096];
static volatile sig_atomic_t temp_armed = 0;

// The interrupts after which no temporary file may stay behind.
static const int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP};

// Removes the temporary file, then ends the process as `signal` would
// have, with its default action.
static void on_interrupt(int signal) {
  if (temp_armed)
    unlink(temp_path); // all that is left to do: the process ends now
  std::signal(signal, SIG_DFL);
  raise(signal);
}

void prepare_process() {
  // Standard output that is gone costs console lines, never the image; a
  // file size limit is a failed write, reported as such.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action = {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (int signal : INTERRUPTS)
    sigaddset(&action.sa_mask, signal);
  for (int signal : INTERRUPTS) {
    struct sigaction before;
    // A signal that the process was started ignoring stays ignored.
    if (sigaction(signal, nullptr, &before) == 0 &&
        before.sa_handler != SIG_IGN)
      sigaction(signal, &action, nullptr);
  }
}

// Blocks the interrupts (`block` true) or lets them through again, so that
// creating or dropping the temporary file and recording it are one step.
static void hold_interrupts(bool block) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : INTERRUPTS)
    sigaddset(&set, signal);
  sigprocmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

// Creates a new, unique file beside `path` for writing, with the mode a new
// file gets, and records it as the temporary file. Answers the descriptor,
// or -1 with errno set.
static int create_temp_beside(const char *path) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    int length = std::snprintf(temp_path, sizeof temp_path, "%s.%ld-%u.tmp",
                               path, static_cast<long>(getpid()), attempt);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof temp_path) {
      errno = ENAMETOOLONG;
      return -1;
    }
    hold_interrupts(true);
    int fd = open(temp_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    temp_armed = fd >= 0;
    int error = errno;
    hold_interrupts(false);
    errno = error;
    if (fd >= 0 || errno != EEXIST)
      return fd;
  }
  return -1;
}

// Removes the temporary file and forgets it. Keeps errno.
static void drop_temp() {
  int error = errno;
  hold_interrupts(true);
  unlink(temp_path); // best effort: the failure reported is the write's
  temp_armed = 0;
  hold_interrupts(false);
  errno = error;
}

// Syncs the directory that holds `path`, so that a rename in it lasts.
static void sync_parent_directory(const char *path) {
  const char *slash = std::strrchr(path, '/');
  char dir[4096] = ".";
  if (slash != nullptr)
    std::snprintf(dir, sizeof dir, "%.*s", static_cast<int>(slash - path + 1),
                  path);
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return;  // the image is in place; only its durability is less certain
  fsync(fd); // as above: a failure here cannot undo the rename
  close(fd);
}

// The most links followed from the image's path to the file it leads to,
// as the system's own limit for a path.
const int LINKS_FOLLOWED_MAX = 40;

// Follows `path` through every symbolic link to the path of the file it
// finally leads to, which need not exist, into `target` (`size` bytes).
// Answers 0, or -1 with errno set: ELOOP for a loop, ENAMETOOLONG.
static int final_path(const char *path, char *target, std::size_t size) {
  if (std::snprintf(target, size, "%s", path) >= static_cast<int>(size)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  for (int links = 0;; ++links) {
    struct stat sta;
    if (lstat(target, &sta) != 0 || !S_ISLNK(sta.st_mode))
      return 0; // a file, or nothing yet: this is the one written
    if (links == LINKS_FOLLOWED_MAX) {
      errno = ELOOP;
      return -1;
    }
    char link[4096];
    ssize_t n = readlink(target, link, sizeof link - 1);
    if (n < 0)
      return -1;
    link[n] = '\0';
    // A relative link leads on from the folder that holds it.
    const char *slash = std::strrchr(target, '/');
    int dir_length = link[0] == '/' || slash == nullptr
                         ? 0
                         : static_cast<int>(slash - target + 1);
    char next[4096];
    if (std::snprintf(next, sizeof next, "%.*s%s", dir_length, target, link) >=
            static_cast<int>(sizeof next) ||
        std::strlen(next) >= size) {
      errno = ENAMETOOLONG;
      return -1;
    }
    std::strcpy(target, next);
  }
}

// Writes the image over the existing regular file `path` in place: from
// its first byte, cut to the image's length, synced, closed. Answers
// IO_OPEN_FAILED when it cannot be opened for writing, IO_WRITE_FAILED when
// a later step fails.
static IoResult write_in_place(const char *path, const unsigned char *data,
                               std::size_t size) {
  int fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return IO_OPEN_FAILED;
  struct stat sta;
  if (fstat(fd, &sta) != 0 || !S_ISREG(sta.st_mode)) {
    close(fd); // nothing written: nothing to lose
    errno = EINVAL;
    return IO_OPEN_FAILED;
  }
  bool written = write_all(fd, data, size) == 0 &&
                 ftruncate(fd, static_cast<off_t>(size)) == 0 && fsync(fd) == 0;
  if (close(fd) != 0)
    written = false;
  return written ? IO_OK : IO_WRITE_FAILED;
}

IoResult replace_file(const char *path, const unsigned char *data,
                      std::size_t size) {
  // The file that `path` leads to through any links is the one replaced;
  // only a regular file, or none, and only one that may be written, which
  // is checked without opening it, so that nothing waits on a pipe or a
  // lease.
  char target[4096];
  if (final_path(path, target, sizeof target) != 0)
    return IO_OPEN_FAILED;
  struct stat sta;
  bool exists = stat(target, &sta) == 0;
  if (!exists && errno != ENOENT)
    return IO_OPEN_FAILED;
  if (exists && !S_ISREG(sta.st_mode)) {
    errno = S_ISDIR(sta.st_mode) ? EISDIR : EINVAL;
    return IO_OPEN_FAILED;
  }
  if (exists && faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) != 0)
    return IO_OPEN_FAILED;

  int fd = create_temp_beside(target);
  if (fd < 0) {
    // A folder that takes no new file: an image that may be written is
    // written in place, the one case that is not atomic.
    if (exists && (errno == EACCES || errno == EPERM))
      return write_in_place(target, data, size);
    return IO_OPEN_FAILED;
  }
  bool written = write_all(fd, data, size) == 0 && fsync(fd) == 0;
  if (close(fd) != 0)
    written = false;
  if (!written) {
    drop_temp();
    return IO_WRITE_FAILED;
  }
  hold_interrupts(true);
  bool renamed = rename(temp_path, target) == 0;
  if (renamed)
    temp_armed = 0;
  hold_interrupts(false);
  if (!renamed) {
    drop_temp();
    return IO_WRITE_FAILED;
  }
  sync_parent_directory(target);
  return IO_OK;
}
