// stowpak-list's platform services on Windows: labels are decoded as code
// page 932 and shown in the console's code page; paths are the bytes of the
// system code page, as main received them.
#include "list_platform.h"

#include <windows.h>

// Keeps every argument as typed: a runtime that expands wildcards would
// turn "*" into the names of files (see platform_win32.cpp).
extern "C" {
int _dowildcard = 0;
}

// The most bytes asked of one ReadFile call.
const DWORD READ_CHUNK_LIMIT = 1u << 30;

// Answers whether the Windows error `error` says that nothing is there.
static bool is_missing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_INVALID_NAME || error == ERROR_BAD_PATHNAME ||
         error == ERROR_INVALID_DRIVE;
}

ReadResult read_image_file(const char *path, std::size_t limit,
                           std::vector<unsigned char> *bytes,
                           std::uint64_t *size) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return is_missing(GetLastError()) ? READ_NOT_FOUND : READ_OPEN_FAILED;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    return READ_NOT_REGULAR;
  HANDLE file =
      CreateFileA(path, GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return is_missing(GetLastError()) ? READ_NOT_FOUND : READ_OPEN_FAILED;
  // A device name such as CON opens too; only a disk file is read.
  LARGE_INTEGER whole;
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return READ_NOT_REGULAR;
  }
  if (!GetFileSizeEx(file, &whole)) {
    CloseHandle(file);
    return READ_FAILED;
  }
  *size = static_cast<std::uint64_t>(whole.QuadPart);
  std::size_t want = *size < limit ? static_cast<std::size_t>(*size) : limit;
  bytes->assign(want, 0);
  std::size_t got = 0;
  while (got < want) {
    DWORD chunk = want - got < READ_CHUNK_LIMIT ? static_cast<DWORD>(want - got)
                                                : READ_CHUNK_LIMIT;
    DWORD n = 0;
    if (!ReadFile(file, bytes->data() + got, chunk, &n, nullptr)) {
      CloseHandle(file);
      return READ_FAILED;
    }
    if (n == 0)
      break;
    got += n;
  }
  CloseHandle(file); // read-only: nothing to lose
  if (got < want) {
    // The file shrank while it was read: it is as long as what was read.
    bytes->resize(got);
    *size = got;
  }
  return READ_OK;
}

// Answers the UTF-8 form of the `n` UTF-16 units at `wide`.
static std::string to_utf8(const wchar_t *wide, int n) {
  int length =
      WideCharToMultiByte(CP_UTF8, 0, wide, n, nullptr, 0, nullptr, nullptr);
  std::string utf8(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) // the same conversion into room measured for it
    WideCharToMultiByte(CP_UTF8, 0, wide, n, &utf8[0], length, nullptr,
                        nullptr);
  return utf8;
}

bool decode_label_char(const unsigned char *bytes, std::size_t n,
                       std::string *utf8) {
  if (n < 1 || n > 2)
    return false;
  // Windows maps these single bytes to stand-ins; they are no Shift_JIS
  // characters, and the C library's CP932 on POSIX refuses them too.
  if (n == 1 && (bytes[0] == 0x80 || bytes[0] == 0xA0 || bytes[0] >= 0xFD))
    return false;
  wchar_t wide[4];
  int length = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS,
                                   reinterpret_cast<const char *>(bytes),
                                   static_cast<int>(n), wide, 4);
  if (length != 1)
    return false;
  *utf8 = to_utf8(wide, 1);
  return !utf8->empty();
}

// Answers the code page of the console that standard output shows on, or
// the system code page when it goes to a file or pipe.
static UINT output_code_page() {
  DWORD mode;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
    return GetConsoleOutputCP();
  return GetACP();
}

bool console_char(const unsigned char *bytes, std::size_t n,
                  const std::string &utf8, std::string *shown) {
  static const UINT code_page = output_code_page();
  if (code_page == 932) {
    shown->assign(reinterpret_cast<const char *>(bytes), n);
    return true;
  }
  if (code_page == CP_UTF8) {
    *shown = utf8;
    return true;
  }
  wchar_t wide[4];
  int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                   static_cast<int>(utf8.size()), wide, 4);
  if (length <= 0)
    return false;
  char out[16];
  BOOL lossy = FALSE;
  int got = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide, length,
                                out, sizeof out, nullptr, &lossy);
  if (got <= 0 || lossy)
    return false;
  shown->assign(out, static_cast<std::size_t>(got));
  return true;
}

std::string argument_to_utf8(const char *argument) {
  int length = MultiByteToWideChar(CP_ACP, 0, argument, -1, nullptr, 0);
  if (length <= 1)
    return argument;
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  // The same conversion into room measured for it.
  MultiByteToWideChar(CP_ACP, 0, argument, -1, &wide[0], length);
  return to_utf8(wide.data(), length - 1);
}
