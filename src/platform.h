// The few operating-system services the tool needs, with one implementation
// per platform (platform_posix.cpp, platform_win32.cpp), chosen by the
// build.
// Everything here reports failure by its result and leaves the reason in
// errno; nothing prints, nothing throws.
#ifndef STOWPAK_PLATFORM_H
#define STOWPAK_PLATFORM_H

#include <cstddef>
#include <cstdint>

// The character that joins a directory path and an entry name.
extern const char PATH_SEPARATOR;

// Obtains `size` bytes of zero-filled memory, to be released with
// std::free. Answers null when there is not enough memory. A large block
// may be backed by huge pages, so that writing it costs a few page faults
// instead of hundreds.
void *allocate_zeroed(std::size_t size);

// Obtains `size` bytes for the walk's lists, to be released with
// std::free. A large block (64 KiB or more) has all of its memory backed
// at once, since touching it page by page would cost a fault per page; a
// small one is most often memory released earlier, backed already.
// Answers null when there is not enough memory. The bytes are not cleared.
void *allocate_block(std::size_t size);

// Grows `block`, of `size` bytes from allocate_block or null, to
// `new_size` bytes, keeping its bytes, and backs what is new as
// allocate_block does. Answers the block, which may have moved, or null
// when there is not enough memory, `block` then being left as it was.
void *grow_block(void *block, std::size_t size, std::size_t new_size);

// What an entry is. A status answers it after following links; a listing
// answers it for the entry itself, or KIND_UNKNOWN for a link or where the
// file system does not say.
enum FileKind { KIND_REGULAR, KIND_DIRECTORY, KIND_OTHER, KIND_UNKNOWN };

// A file's kind and the identity that tells two directories apart: the
// device (volume) and the file's number on it.
struct FileStatus {
  FileKind kind;
  std::uint64_t device;
  std::uint64_t inode;
};

// The longest entry name, in UTF-16 code units, that a listing answers.
const std::size_t NAME_UNITS_MAX = 512;

// One entry of a directory listing, valid until the next call on it.
struct DirEntry {
  // The name as the tool prints and opens it: bytes of the platform's
  // narrow encoding (the system code page on Windows), NUL-terminated.
  const char *name;
  std::size_t name_length;
  // The kind as the listing gives it.
  FileKind kind;
  // False when the narrow name would not lead back to this entry (Windows:
  // a character the code page lacks, a trailing dot or blank, a device
  // name); such an entry must never be opened. `name` then shows each
  // character the code page lacks as '?'.
  bool representable;
  // The name as NTFS orders it: UTF-16 code units, as the file system
  // holds it (Windows). Null where they are the units that name_units
  // gives for `name` (POSIX), computed only if needed.
  const std::uint16_t *units;
  std::size_t unit_count;
};

// Answers in `units` the code units of the narrow `name` of a
// representable entry, and their number: on POSIX the name decoded as
// UTF-8, each byte of an ill-formed sequence taken as the unit 0xDC00 +
// byte; on Windows the name in the code page, which for a representable
// name are its units as the file system holds it. `units` has room for
// NAME_UNITS_MAX units.
std::size_t name_units(const char *name, std::size_t length,
                       std::uint16_t *units);

// An open directory. It stays open while the directories below it are
// walked, so that they can be opened relative to it.
struct DirListing;

// Opens the directory `name` inside the open directory `parent`, whose
// full path is `path` (`parent` null: `path` relative to the working
// directory), following links. Answers null, with errno set, when it
// cannot be listed; ENOMEM when memory ran out.
DirListing *dir_open(const DirListing *parent, const char *name,
                     const char *path);

// Answers the next entry, "." and ".." included, in the order the file
// system yields them: 1 with `*entry` filled in, 0 at the end or on a read
// error, -1 when memory ran out. The listing is read in large blocks.
int dir_next(DirListing *listing, DirEntry *entry);

// Starts `listing` over: dir_next answers its entries again from the first,
// as the file system yields them now. Answers 0, or -1 when memory ran out.
// A listing that cannot start over answers no more entries.
int dir_rewind(DirListing *listing);

// Takes the status of the entry `name` of the open directory `parent`
// (full path `path`), following links. Answers 0, or -1 when the status
// cannot be taken.
int entry_status(const DirListing *parent, const char *name, const char *path,
                 FileStatus *status);

// Takes the status of `path`, following links. Answers 0, or -1.
int file_status(const char *path, FileStatus *status);

// Closes a listing from dir_open.
void dir_close(DirListing *listing);

// How a whole-file operation ended.
enum IoResult { IO_OK = 0, IO_OPEN_FAILED, IO_READ_FAILED, IO_WRITE_FAILED };

// Opens `path` for reading as raw bytes, reads up to `size` bytes from its
// start into `buffer`, and closes it. Anything that is not a regular file
// once opened (a directory, a pipe, a device) is an open failure and
// nothing is read from it; nothing waits. Stores the number of bytes read
// in `*got`; bytes of `buffer` past them are left as they were.
IoResult read_file_head(const char *path, unsigned char *buffer,
                        std::size_t size, std::size_t *got);

// Replaces `path` with `size` bytes of `data`. Where `path` is a symbolic
// link (or a chain of them), the file it finally leads to is replaced and
// the link stays; a link that leads nowhere creates the file it names. The
// data are written to a new file beside that file, synced, and renamed over
// it, so the replacement is atomic; only where the folder takes no new file
// but the file exists and may be written is it written in place.
// IO_OPEN_FAILED, with nothing changed, when the file cannot be written:
// it is not a regular file (a directory, a pipe, a device), the user may
// not write it, a link leads into a missing folder or around a loop.
// IO_WRITE_FAILED when a later step fails; `path` is then unchanged, but
// for a write in place. No temporary file is left, even when an interrupt
// ends the process during the write. A new or replaced file has the mode a
// newly created file would get. The check that the file may be written
// never waits.
IoResult replace_file(const char *path, const unsigned char *data,
                      std::size_t size);

// Readies the process for a build: console output that cannot be written
// is lost without ending the process, a file size limit makes a write fail
// instead of ending the process, and an interrupt (SIGINT, SIGTERM, SIGHUP;
// on Windows Ctrl+C, Ctrl+Break, a closed console) removes the temporary
// file of replace_file before it ends the process as it would have.
void prepare_process();

#endif
