// A helper for the tests of the Windows build: holds a file open, sharing
// it with no one, as a virus scanner or an indexer may for a moment.
//
//   hold_file FILE MILLISECONDS MARKER
//
// Opens FILE, creates MARKER once it holds it, waits MILLISECONDS and lets
// go. Exits 0, or 1 when FILE cannot be opened.
#include <cstdlib>

#include <windows.h>

int main(int argc, char **argv) {
  if (argc != 4)
    return 2;
  HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return 1;
  HANDLE marker = CreateFileA(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE)
    CloseHandle(marker); // its existence is the message
  Sleep(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
  CloseHandle(file); // the process ends next in any case
  return 0;
}
