// stowpak: packs the files under "root" into the image "STOWPK.GBA".
//
// The image is the first 768 bytes of the template "HXQT.GBA", with a record
// count and an offset table filled in, then one 20,096-byte record cut from
// fixed byte ranges of each source file (at most 63), then an all-zero
// closing record. Progress and failures are console lines; the failure
// messages are Shift_JIS text.
#include "image_layout.h"
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// ===========================================================================
// Console messages
// ===========================================================================

// The layout of the image is in image_layout.h. The Japanese texts below are
// Shift_JIS bytes.
#define MSG_OPEN_ERROR                                                         \
  "\x83\x74\x83\x40\x83\x43\x83\x8b\x83\x49\x81\x5b\x83\x76\x83\x93\x83\x47"   \
  "\x83\x89\x81\x5b:%s\n"
#define MSG_READ_ERROR                                                         \
  "\x83\x74\x83\x40\x83\x43\x83\x8b\x83\x8a\x81\x5b\x83\x68\x83\x47\x83\x89"   \
  "\x81\x5b:%s\n"
#define MSG_WRITE_ERROR                                                        \
  "\x83\x74\x83\x40\x83\x43\x83\x8b\x83\x89\x83\x43\x83\x67\x83\x47\x83\x89"   \
  "\x81\x5b:%s\n"
#define MSG_MEMORY_ERROR                                                       \
  "\x83\x81\x83\x82\x83\x8a\x8a\x6d\x95\xdb\x83\x47\x83\x89\x81\x5b\n"
#define MSG_PREPARE_ERROR "\x91\x4f\x8f\x88\x97\x9d\x83\x47\x83\x89\x81\x5b\n"
#define MSG_FINISH_ERROR "\x8c\xe3\x8f\x88\x97\x9d\x83\x47\x83\x89\x81\x5b\n"
#define MSG_BAD_OPTION                                                         \
  "\x83\x49\x83\x76\x83\x56\x83\x87\x83\x93(%s)\x82\xaa\x88\xd9\x8f\xed\x82"   \
  "\xc5\x82\xb7\x81\x42\n"

// Prints the first line of a failure report: this file's bare name and the
// line of the reporting statement.
static void print_location(int line) {
  const char *name = __FILE__;
  for (const char *p = __FILE__; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\')
      name = p + 1;
  std::printf("%s:%d\n", name, line);
}

// ===========================================================================
// Builder state
// ===========================================================================

// The image under construction. The build run obtains and releases the two
// buffers; the builder operations below fill them.
static struct {
  unsigned char *image_buffer;
  unsigned char *source_buffer;
  std::int32_t count_offset;
  std::int32_t table_cursor;
  std::int32_t data_cursor;
  std::int32_t record_count;
} builder;

// ===========================================================================
// Image builder
// ===========================================================================

// Stores `value` as a 32-bit little-endian integer at image offset `offset`.
static void store_word(std::int32_t offset, std::int32_t value) {
  std::uint32_t bits = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i)
    builder.image_buffer[offset + i] =
        static_cast<unsigned char>(bits >> (8 * i));
}

// Reads the template's first HEADER_SIZE bytes into the image and readies
// the builder for records. Answers 0, or -1 after printing a report when the
// template cannot be opened or read.
int load_template(const char *path) {
  std::size_t got;
  IoResult result =
      read_file_head(path, builder.image_buffer, HEADER_SIZE, &got);
  if (result == IO_OPEN_FAILED) {
    print_location(__LINE__);
    std::printf(MSG_OPEN_ERROR, path);
    return -1;
  }
  if (result == IO_READ_FAILED) {
    print_location(__LINE__);
    std::printf(MSG_READ_ERROR, path);
    return -1;
  }
  builder.count_offset = COUNT_OFFSET;
  builder.table_cursor = TABLE_OFFSET;
  builder.data_cursor = HEADER_SIZE;
  builder.record_count = 0;
  std::memset(builder.image_buffer + TABLE_OFFSET, 0, TABLE_SLOTS * 4);
  store_word(builder.count_offset, builder.record_count);
  return 0;
}

// Appends one record cut from the file at `path` and prints its progress
// line. Answers 0, or -1 when no record was added: silently once the image
// is full, after a report when the file cannot be opened or read.
int add_source_file(const char *path) {
  if (builder.record_count >= MAX_RECORDS)
    return -1;
  store_word(builder.table_cursor, builder.data_cursor);

  std::size_t got;
  IoResult result =
      read_file_head(path, builder.source_buffer, SOURCE_BUFFER_SIZE, &got);
  if (result == IO_OPEN_FAILED) {
    print_location(__LINE__);
    std::printf(MSG_OPEN_ERROR, path);
    return -1;
  }
  if (result == IO_READ_FAILED) {
    print_location(__LINE__);
    std::printf(MSG_READ_ERROR, path);
    return -1;
  }
  // A record depends on its own file only: what a short file lacks is zero.
  if (got < static_cast<std::size_t>(SOURCE_USED_SIZE))
    std::memset(builder.source_buffer + got, 0, SOURCE_USED_SIZE - got);

  unsigned char *record = builder.image_buffer + builder.data_cursor;
  unsigned char *label = record + RECORD_LABEL_OFFSET;
  std::memcpy(record, builder.source_buffer + SOURCE_LEAD_OFFSET, FIELD_SIZE);
  std::memcpy(label, builder.source_buffer + SOURCE_LABEL_OFFSET, FIELD_SIZE);
  for (int i = 0; i < LABEL_SCAN_LIMIT; ++i) {
    if (label[i] == 0) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, "(%02d)", builder.record_count + 1);
      std::memcpy(label + i, suffix, 5); // "(nn)" and its NUL
      break;
    }
  }
  std::memcpy(record + RECORD_BODY_OFFSET,
              builder.source_buffer + SOURCE_BODY_OFFSET, BODY_SIZE);

  builder.data_cursor += RECORD_SIZE;
  builder.table_cursor += 4;
  builder.record_count += 1;
  store_word(builder.count_offset, builder.record_count);
  std::printf("No.%02d add file=%s\n", builder.record_count, path);
  return 0;
}

// Closes the image with its end slot and all-zero record and writes it to
// `path`, replacing any earlier file whole. Answers 0, or -1 after printing
// a report when the file cannot be opened or written; an earlier file at
// `path` is then unchanged.
int write_image(const char *path) {
  store_word(builder.table_cursor, builder.data_cursor);
  builder.data_cursor += RECORD_SIZE;
  IoResult result = replace_file(path, builder.image_buffer,
                                 static_cast<std::size_t>(builder.data_cursor));
  if (result == IO_OPEN_FAILED) {
    print_location(__LINE__);
    std::printf(MSG_OPEN_ERROR, path);
    return -1;
  }
  if (result != IO_OK) {
    print_location(__LINE__);
    std::printf(MSG_WRITE_ERROR, path);
    return -1;
  }
  return 0;
}

// ===========================================================================
// Source tree walk
// ===========================================================================

const int PATH_BUFFER_SIZE = 256; // a full path holds at most 255 characters

// The directories on the branch being walked, innermost first; a link back
// to any of them would walk forever.
struct Branch {
  FileStatus directory;
  const Branch *up;
};

// Answers whether `status` is one of the directories on `branch`.
static bool on_branch(const FileStatus &status, const Branch *branch) {
  for (; branch != nullptr; branch = branch->up)
    if (branch->directory.device == status.device &&
        branch->directory.inode == status.inode)
      return true;
  return false;
}

// Answers the capital of the small letter `c`.
static unsigned char fold(unsigned char c) {
  return static_cast<unsigned char>(c - ('a' - 'A'));
}

// Orders two entry names: byte by byte with a-z folded to A-Z, then by raw
// bytes where they are equal after folding. Answers whether `a` goes first.
static bool name_before(const char *a, const char *b) {
  for (std::size_t i = 0;; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    unsigned char fx = (x >= 'a' && x <= 'z') ? fold(x) : x;
    unsigned char fy = (y >= 'a' && y <= 'z') ? fold(y) : y;
    if (fx != fy)
      return fx < fy;
    if (x == 0)
      return std::strcmp(a, b) < 0;
  }
}

// The entries of one directory whose names do not begin with '.', sorted by
// name with name_before: the text of every entry, each its kind as the
// listing gave it (one byte) and its name ending in a NUL, and where each
// begins.
struct EntryList {
  std::string text;
  std::vector<std::size_t> starts;
};

// Lists the directory `dir_path` into `entries`. Answers false, with errno
// set, when it cannot be listed; a read error ends the listing early.
static bool list_directory(const char *dir_path, EntryList *entries) {
  DirListing *listing = dir_open(dir_path);
  if (listing == nullptr)
    return false;
  FileKind kind;
  while (const char *name = dir_next(listing, &kind)) {
    if (name[0] == '.')
      continue;
    entries->starts.push_back(entries->text.size());
    entries->text.push_back(static_cast<char>(kind));
    entries->text.append(name, std::strlen(name) + 1);
  }
  dir_close(listing);
  const char *text = entries->text.data();
  std::sort(entries->starts.begin(), entries->starts.end(),
            [text](std::size_t a, std::size_t b) {
              return name_before(text + a + 1, text + b + 1);
            });
  return true;
}

// Walks the directory `dir_path`, whose identity is on top of `branch`, and
// hands each regular file below it to add_source_file, in name order,
// depth-first. Prints a line for each entry it cannot take. A status is
// taken only where the listing leaves the kind open or a directory's
// identity is needed.
static void walk_directory(const char *dir_path, const Branch *branch) {
  EntryList entries;
  if (!list_directory(dir_path, &entries)) {
    std::printf("'%s' dir open errno=%d \n", dir_path, errno);
    return;
  }
  std::size_t dir_length = std::strlen(dir_path);
  char fullpath[PATH_BUFFER_SIZE];
  for (std::size_t start : entries.starts) {
    FileKind kind = static_cast<FileKind>(entries.text[start]);
    const char *name = entries.text.data() + start + 1;
    if (dir_length + 1 + std::strlen(name) >= PATH_BUFFER_SIZE) {
      std::printf("'%s%c%s' path too long \n", dir_path, PATH_SEPARATOR, name);
      continue;
    }
    std::snprintf(fullpath, sizeof fullpath, "%s%c%s", dir_path, PATH_SEPARATOR,
                  name);
    FileStatus sta = {kind, 0, 0};
    if ((kind == KIND_DIRECTORY || kind == KIND_UNKNOWN) &&
        file_status(fullpath, &sta) != 0) {
      std::printf(" stat(fullpath,sta) != 0\n");
    } else if (sta.kind == KIND_DIRECTORY) {
      if (on_branch(sta, branch)) {
        std::printf("'%s' dir loop \n", fullpath);
      } else {
        Branch deeper = {sta, branch};
        walk_directory(fullpath, &deeper);
      }
    } else if (sta.kind == KIND_REGULAR) {
      add_source_file(fullpath); // a file without a record is reported there
    } else {
      std::printf("'%s' not a regular file \n", fullpath);
    }
  }
}

// Walks the source tree below `dir_path`, handing every regular file whose
// name and directories do not begin with '.' to add_source_file. Reports
// its troubles as console lines and always returns.
void walk_source_tree(const char *dir_path) {
  Branch top = {};
  bool known = file_status(dir_path, &top.directory) == 0;
  walk_directory(dir_path, known ? &top : nullptr);
}

// ===========================================================================
// Command line and build run
// ===========================================================================

const char BANNER[] = "stowpak by Quenby. " __DATE__ " " __TIME__;
const char TEMPLATE_PATH[] = "HXQT.GBA";
const char SOURCE_ROOT[] = "root";
const char OUTPUT_PATH[] = "STOWPK.GBA";

// Exit statuses.
const int EXIT_BUILT = 0;      // image written, or usage text shown
const int EXIT_BAD_OPTION = 1; // an option was rejected
const int EXIT_NO_IMAGE = 2;   // the build wrote no image

// Writes the usage text to standard error.
static void print_usage() {
  std::fprintf(stderr, "%s\nUsage: stowpak \n", BANNER);
}

// Looks at each argument in turn; the first that begins with '-' decides.
// Ends the process after the usage text (help options) or after the option
// message (any other option); returns when no argument is an option.
static void parse_options(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (arg[0] != '-')
      continue;
    if (arg[1] == '?' || arg[1] == 'H' || arg[1] == 'h') {
      print_usage();
      std::exit(EXIT_BUILT);
    }
    std::fprintf(stderr, MSG_BAD_OPTION, arg);
    std::exit(EXIT_BAD_OPTION);
  }
}

// Releases whichever of the builder's buffers were obtained.
static void release_buffers() {
  std::free(builder.source_buffer);
  std::free(builder.image_buffer);
  builder.source_buffer = nullptr;
  builder.image_buffer = nullptr;
}

// Performs one build: obtains the buffers, loads the template, walks the
// source tree, writes the image, and releases the buffers. Reports on
// standard output. Answers EXIT_BUILT when the image was written, whatever
// the walk met, and EXIT_NO_IMAGE when it was not.
static int build_run() {
  std::printf("%s\n", BANNER);
  builder.image_buffer =
      static_cast<unsigned char *>(allocate_zeroed(IMAGE_CAPACITY));
  if (builder.image_buffer == nullptr) {
    print_location(__LINE__);
    std::printf(MSG_MEMORY_ERROR);
    return EXIT_NO_IMAGE;
  }
  builder.source_buffer =
      static_cast<unsigned char *>(allocate_zeroed(SOURCE_BUFFER_SIZE));
  if (builder.source_buffer == nullptr) {
    print_location(__LINE__);
    std::printf(MSG_MEMORY_ERROR);
    release_buffers();
    return EXIT_NO_IMAGE;
  }

  int status = EXIT_BUILT;
  if (load_template(TEMPLATE_PATH) < 0) {
    print_location(__LINE__);
    std::printf(MSG_PREPARE_ERROR);
    status = EXIT_NO_IMAGE;
  } else {
    walk_source_tree(SOURCE_ROOT);
    if (write_image(OUTPUT_PATH) < 0) {
      print_location(__LINE__);
      std::printf(MSG_FINISH_ERROR);
      status = EXIT_NO_IMAGE;
    }
  }
  release_buffers();
  return status;
}

int main(int argc, char **argv) {
  parse_options(argc, argv);
  int status = build_run();
  std::printf("done\n");
  return status;
}
