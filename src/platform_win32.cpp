// The platform services on Windows, through the narrow (system code page)
// Win32 API: paths are passed on as the bytes the tool holds.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

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

// A loop of links: the number the C library on Linux gives (ELOOP there),
// so that the walk's "dir open errno=" lines mean the same on both.
const int LINK_LOOP_ERRNO = 40;

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
  case ERROR_CANT_RESOLVE_FILENAME:
    return LINK_LOOP_ERRNO;
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

void *allocate_block(std::size_t size) { return std::malloc(size); }

void *grow_block(void *block, std::size_t size, std::size_t new_size) {
  (void)size; // the system backs pages as they are touched
  return std::realloc(block, new_size);
}

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

// The most bytes a narrow name takes: two a character in a double-byte code
// page.
const std::size_t NAME_BYTES_MAX = 2 * NAME_UNITS_MAX + 1;

// Wide names are UTF-16 code units, as a DirEntry holds them.
static_assert(sizeof(wchar_t) == sizeof(std::uint16_t), "UTF-16 wchar_t");

struct DirListing {
  wchar_t pattern[MAX_PATH + 8]; // the directory's path and "\\*"
  HANDLE find;                   // INVALID_HANDLE_VALUE for an empty listing
  WIN32_FIND_DATAW entry;
  bool entry_pending; // `entry` holds the first entry, not yet answered
  char name[NAME_BYTES_MAX];
  std::uint16_t units[NAME_UNITS_MAX];
};

std::size_t name_units(const char *name, std::size_t length,
                       std::uint16_t *units) {
  int count = MultiByteToWideChar(CP_ACP, 0, name, static_cast<int>(length),
                                  reinterpret_cast<wchar_t *>(units),
                                  static_cast<int>(NAME_UNITS_MAX));
  return count > 0 ? static_cast<std::size_t>(count) : 0;
}

// Answers whether `name` (`count` units) is one that Windows path handling
// would not open as itself: a character no path may hold, a trailing dot or
// blank (stripped), or a device name (CON, NUL, COM1, nul.txt, ...), with
// or without an extension, which opens the device.
static bool rewritten_by_windows(const wchar_t *name, std::size_t count) {
  if (count == 0 || name[count - 1] == L'.' || name[count - 1] == L' ')
    return true;
  for (std::size_t i = 0; i < count; ++i)
    if (name[i] < 0x20 || std::wcschr(L"\"*/:<>?\\|", name[i]) != nullptr)
      return true;
  std::size_t base = 0;
  while (base < count && name[base] != L'.')
    ++base;
  while (base > 0 && name[base - 1] == L' ')
    --base;
  static const wchar_t *const DEVICES[] = {
      L"CON",  L"PRN",  L"AUX",  L"NUL",    L"COM1",   L"COM2",   L"COM3",
      L"COM4", L"COM5", L"COM6", L"COM7",   L"COM8",   L"COM9",   L"LPT1",
      L"LPT2", L"LPT3", L"LPT4", L"LPT5",   L"LPT6",   L"LPT7",   L"LPT8",
      L"LPT9", L"COM0", L"LPT0", L"CLOCK$", L"CONIN$", L"CONOUT$"};
  for (const wchar_t *device : DEVICES)
    if (std::wcslen(device) == base && _wcsnicmp(name, device, base) == 0)
      return true;
  return false;
}

// Answers in `narrow` (NAME_BYTES_MAX bytes) the code page form of `wide`
// (`count` units), one '?' for each character that the code page does not
// hold as itself, never a best-fit substitute. Answers whether every
// character is held, so that the form leads back to `wide`.
static bool narrow_name(const wchar_t *wide, std::size_t count, char *narrow) {
  std::size_t length = 0;
  bool held = true;
  for (std::size_t i = 0; i < count;) {
    int units = wide[i] >= 0xD800 && wide[i] < 0xDC00 && i + 1 < count &&
                        wide[i + 1] >= 0xDC00 && wide[i + 1] < 0xE000
                    ? 2
                    : 1;
    char bytes[8];
    BOOL substituted = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide + i, units,
                                bytes, sizeof bytes, "?", &substituted);
    wchar_t back[4];
    int back_units = n > 0 && !substituted
                         ? MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS,
                                               bytes, n, back, 4)
                         : 0;
    if (back_units != units || std::wmemcmp(back, wide + i, units) != 0) {
      bytes[0] = '?';
      n = 1;
      held = false;
    }
    if (length + static_cast<std::size_t>(n) >= NAME_BYTES_MAX) {
      held = false;
      break;
    }
    std::memcpy(narrow + length, bytes, static_cast<std::size_t>(n));
    length += static_cast<std::size_t>(n);
    i += static_cast<std::size_t>(units);
  }
  narrow[length] = '\0';
  return held;
}

// Lists "<path>\*" through the wide API, so that each name arrives as the
// file system holds it. Sets errno to ENOTDIR for a path that exists but is
// not a directory, and answers an empty listing for a directory in which
// the search finds nothing at all.
DirListing *dir_open(const DirListing *, const char *, const char *path) {
  DirListing *listing =
      static_cast<DirListing *>(std::malloc(sizeof(DirListing)));
  if (listing == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  wchar_t *pattern = listing->pattern;
  int length = MultiByteToWideChar(CP_ACP, 0, path, -1, pattern, MAX_PATH);
  if (length <= 0) {
    std::free(listing);
    errno = ENOENT;
    return nullptr;
  }
  std::wcscpy(pattern + length - 1, L"\\*");
  listing->find = FindFirstFileW(pattern, &listing->entry);
  DWORD error = GetLastError();
  listing->entry_pending = listing->find != INVALID_HANDLE_VALUE;
  if (listing->find != INVALID_HANDLE_VALUE)
    return listing;

  // Why the search failed is best told by the path itself: a link that
  // leads nowhere or around a loop fails there as such.
  DWORD attributes = GetFileAttributesA(path);
  bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (!exists)
    error = GetLastError();
  bool directory = exists && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (directory && error == ERROR_FILE_NOT_FOUND)
    return listing;
  std::free(listing);
  errno = exists && !directory ? ENOTDIR : errno_from(error);
  return nullptr;
}

// A reparse point (link, junction) is KIND_UNKNOWN: only a status can tell
// what it leads to.
int dir_next(DirListing *listing, DirEntry *entry) {
  if (listing->find == INVALID_HANDLE_VALUE)
    return 0;
  if (!listing->entry_pending && !FindNextFileW(listing->find, &listing->entry))
    return 0; // the end, or a read error, which ends the listing too
  listing->entry_pending = false;
  const wchar_t *wide = listing->entry.cFileName;
  std::size_t count = std::wcslen(wide);
  bool leads_back = narrow_name(wide, count, listing->name);
  entry->name = listing->name;
  entry->name_length = std::strlen(listing->name);
  entry->representable = leads_back && !rewritten_by_windows(wide, count);
  std::memcpy(listing->units, wide, count * sizeof(wchar_t));
  entry->units = listing->units;
  entry->unit_count = count;
  DWORD attributes = listing->entry.dwFileAttributes;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
    entry->kind = KIND_UNKNOWN;
  else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    entry->kind = KIND_DIRECTORY;
  else
    entry->kind = KIND_REGULAR;
  return 1;
}

int entry_status(const DirListing *, const char *, const char *path,
                 FileStatus *status) {
  return file_status(path, status);
}

int dir_rewind(DirListing *listing) {
  if (listing->find != INVALID_HANDLE_VALUE)
    FindClose(listing->find); // the search is started again either way
  listing->find = FindFirstFileW(listing->pattern, &listing->entry);
  listing->entry_pending = listing->find != INVALID_HANDLE_VALUE;
  return 0;
}

void dir_close(DirListing *listing) {
  if (listing->find != INVALID_HANDLE_VALUE)
    FindClose(listing->find); // nothing to do if it fails: the listing is done
  std::free(listing);
}

// Refuses anything but a regular disk file (a device could make a read
// wait) as an open failure.
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
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(file) != FILE_TYPE_DISK ||
      !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
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

// The temporary file of the replacement under way, if any: what the
// console handler removes before the process ends. `temp_lock` makes
// creating, renaming or removing it and recording that one step.
static wchar_t temp_path[MAX_PATH + 64];
static bool temp_armed = false;
static CRITICAL_SECTION temp_lock;

// Removes the temporary file when the console asks the process to end
// (Ctrl+C, Ctrl+Break, closing the console, logoff, shutdown), then lets
// the default handling end it.
static BOOL WINAPI on_console_event(DWORD) {
  EnterCriticalSection(&temp_lock);
  if (temp_armed)
    DeleteFileW(temp_path); // all that is left to do: the process ends now
  temp_armed = false;
  // Left held: the process ends before the write could go on.
  return FALSE;
}

void prepare_process() {
  InitializeCriticalSection(&temp_lock);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

// How long, in all, a replacement waits for another program (a virus
// scanner, an indexer) to let go of the image, in milliseconds.
const DWORD IN_USE_WAIT_MS = 1000;

// Answers whether `error` says that another program has the file open.
static bool in_use(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

// Waits a little longer each time (10, 20, 40, ... ms) until `deadline`
// (GetTickCount64). Answers false, without waiting, once it has passed.
static bool pause_until(ULONGLONG deadline, DWORD *pause) {
  ULONGLONG now = GetTickCount64();
  if (now >= deadline)
    return false;
  DWORD left = static_cast<DWORD>(deadline - now);
  Sleep(*pause < left ? *pause : left);
  *pause *= 2;
  return true;
}

// Opens the existing file `path` for writing, waiting until `deadline` while
// another program has it open. Answers the handle, or INVALID_HANDLE_VALUE
// with the last error set.
static HANDLE open_for_writing(const wchar_t *path, ULONGLONG deadline) {
  DWORD pause = 10;
  for (;;) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || !in_use(GetLastError()) ||
        !pause_until(deadline, &pause))
      return file;
  }
}

// Creates a new, unique file beside `path` for writing, with the attributes
// and security a new file gets, and records it as the temporary file.
// Answers the handle, or INVALID_HANDLE_VALUE with the last error set.
static HANDLE create_temp_beside(const wchar_t *path) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    int length =
        _snwprintf(temp_path, MAX_PATH + 64, L"%ls.%lu-%u.tmp", path,
                   static_cast<unsigned long>(GetCurrentProcessId()), attempt);
    if (length < 0 || length >= MAX_PATH + 64) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return INVALID_HANDLE_VALUE;
    }
    EnterCriticalSection(&temp_lock);
    // Shared for deletion, so that the console handler can remove it.
    HANDLE file =
        CreateFileW(temp_path, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    temp_armed = file != INVALID_HANDLE_VALUE;
    LeaveCriticalSection(&temp_lock);
    if (file != INVALID_HANDLE_VALUE)
      return file;
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
  }
  SetLastError(ERROR_FILE_EXISTS);
  return INVALID_HANDLE_VALUE;
}

// Writes the image over the open file `file` in place: from its first
// byte, cut to the image's length, synced, closed. Answers whether every
// step succeeded; the reason of a failure is the last Windows error.
static bool write_in_place(HANDLE file, const unsigned char *data,
                           std::size_t size) {
  bool written = write_all(file, data, size) && SetEndOfFile(file) &&
                 FlushFileBuffers(file);
  DWORD error = GetLastError();
  if (!CloseHandle(file) && written)
    return false;
  SetLastError(error);
  return written;
}

// What replace_file answers after a failure with the Windows error `error`.
static IoResult failed(IoResult result, DWORD error) {
  errno = errno_from(error);
  return result;
}

// Only a regular disk file is replaced: a directory, a read-only file or
// anything else (a device, a pipe) in the image's place counts as one that
// cannot be opened for writing, whatever rights the user has. A link is
// followed to the file it leads to where the system resolves it.
IoResult replace_file(const char *path, const unsigned char *data,
                      std::size_t size) {
  const ULONGLONG deadline = GetTickCount64() + IN_USE_WAIT_MS;
  wchar_t target[MAX_PATH + 8];
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, target, MAX_PATH) <= 0)
    return failed(IO_OPEN_FAILED, ERROR_INVALID_NAME);
  HANDLE existing = CreateFileW(
      target, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  bool exists = existing != INVALID_HANDLE_VALUE;
  if (!exists && GetLastError() != ERROR_FILE_NOT_FOUND)
    return failed(IO_OPEN_FAILED, GetLastError());
  if (exists) {
    BY_HANDLE_FILE_INFORMATION info;
    bool regular = GetFileType(existing) == FILE_TYPE_DISK &&
                   GetFileInformationByHandle(existing, &info) &&
                   (info.dwFileAttributes &
                    (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
    wchar_t final[MAX_PATH + 8];
    DWORD length =
        regular ? GetFinalPathNameByHandleW(existing, final, MAX_PATH, 0) : 0;
    if (length > 0 && length < MAX_PATH)
      std::wcscpy(target, final);
    CloseHandle(existing); // only its attributes were read: nothing to lose
    if (!regular)
      return failed(IO_OPEN_FAILED, ERROR_ACCESS_DENIED);
    // May it be written? Another program that holds it open only delays
    // the answer: the rename below waits for it too.
    HANDLE probe = open_for_writing(target, deadline);
    if (probe != INVALID_HANDLE_VALUE)
      CloseHandle(probe); // opened only to learn that it may be written
    else if (!in_use(GetLastError()))
      return failed(IO_OPEN_FAILED, GetLastError());
  }

  HANDLE file = create_temp_beside(target);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    // A folder that takes no new file: an image that may be written is
    // written in place, the one case that is not atomic.
    if (!exists || error != ERROR_ACCESS_DENIED)
      return failed(IO_OPEN_FAILED, error);
    HANDLE image = open_for_writing(target, deadline);
    if (image == INVALID_HANDLE_VALUE)
      return failed(IO_OPEN_FAILED, GetLastError());
    return write_in_place(image, data, size)
               ? IO_OK
               : failed(IO_WRITE_FAILED, GetLastError());
  }
  bool written = write_all(file, data, size) && FlushFileBuffers(file);
  DWORD error = written ? ERROR_SUCCESS : GetLastError();
  if (!CloseHandle(file) && written) {
    written = false;
    error = GetLastError();
  }
  for (DWORD pause = 10; written;) {
    EnterCriticalSection(&temp_lock);
    bool moved =
        MoveFileExW(temp_path, target,
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    error = GetLastError();
    if (moved)
      temp_armed = false;
    LeaveCriticalSection(&temp_lock);
    if (moved)
      return IO_OK;
    if (!in_use(error) || !pause_until(deadline, &pause))
      written = false;
  }
  EnterCriticalSection(&temp_lock);
  DeleteFileW(temp_path); // best effort: the reported failure is the write
  temp_armed = false;
  LeaveCriticalSection(&temp_lock);
  return failed(IO_WRITE_FAILED, error);
}
