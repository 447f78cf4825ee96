// The platform services on Windows, through the narrow (system code page)
// Win32 API: paths are passed on as the bytes the tool holds.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <windows.h>

// A MinGW-w64 runtime built to expand wildcards in the command line would
// hand main the names of matching files, so that "-?" or "*" could arrive
// as "-q", a file in the working folder. This switch keeps every argument as
// typed. The MSVC runtime expands only when setargv.obj is linked in, and
// the variable is then an unused one.
extern "C" {
int _dowildcard = 0;
}

const char PATH_SEPARATOR = '\\';

// The most bytes handed to one ReadFile or WriteFile call.
const DWORD IO_CHUNK_LIMIT = 1u << 30;

// Answers the errno value the C library gives for the Windows error `error`.
static int errno_from(DWORD error) {
  switch (error) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
  case ERROR_INVALID_DRIVE:
  case ERROR_BAD_NETPATH:
  case ERROR_BAD_NET_NAME:
  case ERROR_BAD_PATHNAME:
  case ERROR_FILENAME_EXCED_RANGE:
    return ENOENT;
  case ERROR_ACCESS_DENIED:
  case ERROR_SHARING_VIOLATION:
  case ERROR_LOCK_VIOLATION:
  case ERROR_NETWORK_ACCESS_DENIED:
  case ERROR_WRITE_PROTECT:
    return EACCES;
  case ERROR_DIRECTORY:
    return ENOTDIR;
  case ERROR_NOT_ENOUGH_MEMORY:
  case ERROR_OUTOFMEMORY:
    return ENOMEM;
  case ERROR_FILE_EXISTS:
  case ERROR_ALREADY_EXISTS:
    return EEXIST;
  case ERROR_TOO_MANY_OPEN_FILES:
    return EMFILE;
  case ERROR_DISK_FULL:
  case ERROR_HANDLE_DISK_FULL:
    return ENOSPC;
  default:
    return EINVAL;
  }
}

void *allocate_zeroed(std::size_t size) { return std::calloc(size, 1); }

// Sets errno from the calling thread's last Windows error.
static void set_errno_from_last_error() { errno = errno_from(GetLastError()); }

// Opens the existing file or directory `path` for `access`, sharing it with
// every other user. Answers the handle, or INVALID_HANDLE_VALUE with errno
// set.
static HANDLE open_existing(const char *path, DWORD access, DWORD flags) {
  HANDLE file = CreateFileA(
      path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    set_errno_from_last_error();
  return file;
}

// Takes the status through a handle on the file itself, so that links and
// junctions are followed; a device (CON, NUL, ...) is KIND_OTHER.
int file_status(const char *path, FileStatus *status) {
  HANDLE file =
      open_existing(path, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS);
  if (file == INVALID_HANDLE_VALUE)
    return -1;
  int result = 0;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    *status = {KIND_OTHER, 0, 0};
  } else if (!GetFileInformationByHandle(file, &info)) {
    set_errno_from_last_error();
    result = -1;
  } else {
    status->kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                       ? KIND_DIRECTORY
                       : KIND_REGULAR;
    status->device = info.dwVolumeSerialNumber;
    status->inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
                    info.nFileIndexLow;
  }
  CloseHandle(file); // only attributes were read: nothing to lose
  return result;
}

struct DirListing {
  HANDLE find; // INVALID_HANDLE_VALUE for an empty listing
  WIN32_FIND_DATAA entry;
  bool entry_pending; // `entry` holds the first entry, not yet answered
};

// Lists "<path>\*". Sets errno to ENOTDIR for a path that exists but is not
// a directory, and answers an empty listing for a directory in which the
// search finds nothing at all.
DirListing *dir_open(const char *path) {
  std::size_t length = std::strlen(path);
  char *pattern = static_cast<char *>(std::malloc(length + 3));
  DirListing *listing = new (std::nothrow) DirListing;
  if (pattern == nullptr || listing == nullptr) {
    std::free(pattern);
    delete listing;
    errno = ENOMEM;
    return nullptr;
  }
  std::memcpy(pattern, path, length);
  std::memcpy(pattern + length, "\\*", 3);
  listing->find = FindFirstFileA(pattern, &listing->entry);
  DWORD error = GetLastError();
  std::free(pattern);
  listing->entry_pending = listing->find != INVALID_HANDLE_VALUE;
  if (listing->find != INVALID_HANDLE_VALUE)
    return listing;

  DWORD attributes = GetFileAttributesA(path);
  bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  bool directory = exists && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (directory && error == ERROR_FILE_NOT_FOUND)
    return listing;
  delete listing;
  errno = exists && !directory ? ENOTDIR : errno_from(error);
  return nullptr;
}

// A reparse point (link, junction) is KIND_UNKNOWN: only a status can tell
// what it leads to.
const char *dir_next(DirListing *listing, FileKind *kind) {
  if (listing->find == INVALID_HANDLE_VALUE)
    return nullptr;
  if (!listing->entry_pending && !FindNextFileA(listing->find, &listing->entry))
    return nullptr; // the end, or a read error, which ends the listing too
  listing->entry_pending = false;
  DWORD attributes = listing->entry.dwFileAttributes;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
    *kind = KIND_UNKNOWN;
  else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    *kind = KIND_DIRECTORY;
  else
    *kind = KIND_REGULAR;
  return listing->entry.cFileName;
}

void dir_close(DirListing *listing) {
  if (listing->find != INVALID_HANDLE_VALUE)
    FindClose(listing->find); // nothing to do if it fails: the listing is done
  delete listing;
}

// Refuses anything but a disk file (a device could make a read wait) as an
// open failure.
IoResult read_file_head(const char *path, unsigned char *buffer,
                        std::size_t size, std::size_t *got) {
  *got = 0;
  HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    set_errno_from_last_error();
    return IO_OPEN_FAILED;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file); // never read: nothing to lose
    errno = EINVAL;
    return IO_OPEN_FAILED;
  }
  IoResult result = IO_OK;
  while (*got < size) {
    std::size_t left = size - *got;
    DWORD want =
        left < IO_CHUNK_LIMIT ? static_cast<DWORD>(left) : IO_CHUNK_LIMIT;
    DWORD n;
    if (!ReadFile(file, buffer + *got, want, &n, nullptr)) {
      set_errno_from_last_error();
      result = IO_READ_FAILED;
      break;
    }
    if (n == 0)
      break;
    *got += n;
  }
  CloseHandle(file); // a file only read has nothing left to lose
  return result;
}

// Writes all `size` bytes of `data` to `file`. Answers whether it did; the
// reason of a failure is the last Windows error.
static bool write_all(HANDLE file, const unsigned char *data,
                      std::size_t size) {
  while (size > 0) {
    DWORD want =
        size < IO_CHUNK_LIMIT ? static_cast<DWORD>(size) : IO_CHUNK_LIMIT;
    DWORD n;
    if (!WriteFile(file, data, want, &n, nullptr))
      return false;
    if (n == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    data += n;
    size -= n;
  }
  return true;
}

// Creates a new, unique file beside `path` for writing, with the attributes
// and security a new file gets. Stores its name in `temp`. Answers the
// handle, or INVALID_HANDLE_VALUE with errno set.
static HANDLE create_temp_beside(const char *path, char *temp,
                                 std::size_t size) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    int length = std::snprintf(
        temp, size, "%s.%lu-%u.tmp", path,
        static_cast<unsigned long>(GetCurrentProcessId()), attempt);
    if (length < 0 || static_cast<std::size_t>(length) >= size) {
      errno = ENAMETOOLONG;
      return INVALID_HANDLE_VALUE;
    }
    HANDLE file = CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
      return file;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      errno = errno_from(error);
      return INVALID_HANDLE_VALUE;
    }
  }
  errno = EEXIST;
  return INVALID_HANDLE_VALUE;
}

// A read-only file or a directory in the image's place counts as one that
// cannot be opened for writing, whatever rights the user has.
IoResult replace_file(const char *path, const unsigned char *data,
                      std::size_t size) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    set_errno_from_last_error();
    if (errno != ENOENT)
      return IO_OPEN_FAILED;
  } else if (attributes &
             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) {
    errno = EACCES;
    return IO_OPEN_FAILED;
  } else {
    HANDLE probe = open_existing(path, GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL);
    if (probe == INVALID_HANDLE_VALUE)
      return IO_OPEN_FAILED;
    CloseHandle(probe); // opened only to learn that it may be written
  }

  char temp[MAX_PATH + 64];
  HANDLE file = create_temp_beside(path, temp, sizeof temp);
  if (file == INVALID_HANDLE_VALUE)
    return IO_OPEN_FAILED;
  bool written = write_all(file, data, size) && FlushFileBuffers(file);
  DWORD error = written ? ERROR_SUCCESS : GetLastError();
  if (!CloseHandle(file) && written) {
    written = false;
    error = GetLastError();
  }
  if (written &&
      !MoveFileExA(temp, path,
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    written = false;
    error = GetLastError();
  }
  if (!written) {
    DeleteFileA(temp); // best effort: the reported failure is the write
    errno = errno_from(error);
    return IO_WRITE_FAILED;
  }
  return IO_OK;
}
