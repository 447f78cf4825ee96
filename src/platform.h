// The few operating-system services the tool needs, with one implementation
// per platform (platform_posix.cpp, platform_win32.cpp), chosen by the
// build.
// Everything here reports failure by its result and leaves the reason in
// errno; nothing prints.
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

// What an entry is. A status answers it after following links; a listing
// answers it for the entry itself, or KIND_UNKNOWN for a link or where the
// file system does not say.
enum FileKind { KIND_REGULAR, KIND_DIRECTORY, KIND_OTHER, KIND_UNKNOWN };

// A file's kind and the identity that tells two directories apart.
struct FileStatus {
  FileKind kind;
  std::uint64_t device;
  std::uint64_t inode;
};

// Takes the status of `path`, following links. Answers 0, or -1 when the
// status cannot be taken.
int file_status(const char *path, FileStatus *status);

// An open directory listing.
struct DirListing;

// Opens a listing of the directory `path`. Answers null, with errno set,
// when it cannot be listed.
DirListing *dir_open(const char *path);

// Answers the next entry's name, "." and ".." included, in the order the
// file system yields them, and stores its kind as the listing gives it in
// `*kind`; null at the end or on a read error. The name lasts until the next
// call on the same listing.
const char *dir_next(DirListing *listing, FileKind *kind);

// Closes a listing from dir_open.
void dir_close(DirListing *listing);

// How a whole-file operation ended.
enum IoResult { IO_OK = 0, IO_OPEN_FAILED, IO_READ_FAILED, IO_WRITE_FAILED };

// Opens `path` for reading as raw bytes (a directory fails to open), reads
// up to `size` bytes from its start into `buffer`, and closes it. Stores the
// number of bytes read in `*got`; bytes of `buffer` past them are left as
// they were. Never waits on a pipe or device.
IoResult read_file_head(const char *path, unsigned char *buffer,
                        std::size_t size, std::size_t *got);

// Replaces `path` atomically with `size` bytes of `data`: they are written
// to a new file beside it, synced, and renamed over it. IO_OPEN_FAILED when
// `path` or the new file cannot be opened for writing; IO_WRITE_FAILED when
// a later step fails. On any failure `path` is unchanged and no new file is
// left. The result has the mode a newly created file would get.
IoResult replace_file(const char *path, const unsigned char *data,
                      std::size_t size);

#endif
