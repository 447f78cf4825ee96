// The platform services on POSIX systems.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <new>
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

int file_status(const char *path, FileStatus *status) {
  struct stat sta;
  if (stat(path, &sta) != 0)
    return -1;
  if (S_ISREG(sta.st_mode))
    status->kind = KIND_REGULAR;
  else if (S_ISDIR(sta.st_mode))
    status->kind = KIND_DIRECTORY;
  else
    status->kind = KIND_OTHER;
  status->device = static_cast<std::uint64_t>(sta.st_dev);
  status->inode = static_cast<std::uint64_t>(sta.st_ino);
  return 0;
}

struct DirListing {
  DIR *dir;
};

DirListing *dir_open(const char *path) {
  DIR *dir = opendir(path);
  if (dir == nullptr)
    return nullptr;
  DirListing *listing = new (std::nothrow) DirListing{dir};
  if (listing == nullptr) {
    closedir(dir);
    errno = ENOMEM;
  }
  return listing;
}

const char *dir_next(DirListing *listing, FileKind *kind) {
  struct dirent *entry = readdir(listing->dir);
  if (entry == nullptr)
    return nullptr;
  switch (entry->d_type) {
  case DT_REG:
    *kind = KIND_REGULAR;
    break;
  case DT_DIR:
    *kind = KIND_DIRECTORY;
    break;
  case DT_LNK:
  case DT_UNKNOWN:
    *kind = KIND_UNKNOWN;
    break;
  default:
    *kind = KIND_OTHER;
  }
  return entry->d_name;
}

void dir_close(DirListing *listing) {
  closedir(listing->dir); // nothing to do if it fails: the listing is done
  delete listing;
}

IoResult read_file_head(const char *path, unsigned char *buffer,
                        std::size_t size, std::size_t *got) {
  *got = 0;
  // O_NONBLOCK: a pipe put in a file's place must not make the tool wait.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return IO_OPEN_FAILED;
  struct stat sta;
  if (fstat(fd, &sta) != 0 || S_ISDIR(sta.st_mode)) {
    close(fd);
    errno = EISDIR;
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

// Creates a new, unique file beside `path` for writing, with the mode a new
// file gets. Stores its name in `temp`. Answers the descriptor, or -1.
static int create_temp_beside(const char *path, char *temp, std::size_t size) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    std::snprintf(temp, size, "%s.%ld-%u.tmp", path,
                  static_cast<long>(getpid()), attempt);
    int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST)
      return fd;
  }
  return -1;
}

// Syncs the directory that holds `path`, so that a rename in it lasts.
static void sync_parent_directory(const char *path) {
  const char *slash = nullptr;
  for (const char *p = path; *p != '\0'; ++p)
    if (*p == '/')
      slash = p;
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

IoResult replace_file(const char *path, const unsigned char *data,
                      std::size_t size) {
  // An existing file that could not be opened for writing (a directory, a
  // file the user may not write, a pipe without a reader) is not replaced.
  int probe = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (probe >= 0)
    close(probe); // opened only to learn that it may be written
  else if (errno != ENOENT)
    return IO_OPEN_FAILED;

  char temp[4096];
  int fd = create_temp_beside(path, temp, sizeof temp);
  if (fd < 0)
    return IO_OPEN_FAILED;
  bool written = write_all(fd, data, size) == 0 && fsync(fd) == 0;
  if (close(fd) != 0)
    written = false;
  if (!written || rename(temp, path) != 0) {
    unlink(temp); // best effort: the reported failure is the write
    return IO_WRITE_FAILED;
  }
  sync_parent_directory(path);
  return IO_OK;
}
