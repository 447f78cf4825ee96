// The operating-system services stowpak-list needs, with one implementation
// per platform (list_platform_posix.cpp, list_platform_win32.cpp), chosen by
// the build: reading the image file, decoding Shift_JIS label characters,
// and the form a character takes on the console. Nothing here prints.
#ifndef STOWPAK_LIST_PLATFORM_H
#define STOWPAK_LIST_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How reading the image file ended.
enum ReadResult {
  READ_OK = 0,
  READ_NOT_FOUND,   // no file (or folder) at the path
  READ_NOT_REGULAR, // a folder, pipe, device or anything but a disk file
  READ_OPEN_FAILED, // there, but it cannot be opened
  READ_FAILED       // opened, but a read failed
};

// Reads the first `limit` bytes of the regular file `path` (all of it when
// it is shorter) into `bytes` and stores the file's whole size in `*size`.
// Never opens anything but a regular file for reading and never waits on a
// pipe or device. On any result but READ_OK, `bytes` and `*size` are
// unspecified.
ReadResult read_image_file(const char *path, std::size_t limit,
                           std::vector<unsigned char> *bytes,
                           std::uint64_t *size);

// Decodes the `n` bytes at `bytes` (1 or 2) as exactly one Shift_JIS (code
// page 932) character. Answers true and stores its UTF-8 form in `*utf8`,
// or false when they are not one whole character; `*utf8` is then
// unspecified.
bool decode_label_char(const unsigned char *bytes, std::size_t n,
                       std::string *utf8);

// Stores in `*shown` the bytes that show the character `bytes` (its `n`
// Shift_JIS bytes; `utf8` its UTF-8 form) on this platform's console: the
// UTF-8 form on POSIX; the console code page's bytes on Windows. Answers
// false when the console's code page cannot show it.
bool console_char(const unsigned char *bytes, std::size_t n,
                  const std::string &utf8, std::string *shown);

// Answers a command-line argument (as main received it) in UTF-8, for the
// JSON document. Bytes that do not convert are passed on as they are.
std::string argument_to_utf8(const char *argument);

#endif
