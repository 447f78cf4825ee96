// stowpak: packs the files under "root" into the image "STOWPK.GBA".
//
// The image is the first 768 bytes of the template "HXQT.GBA", with a record
// count and an offset table filled in, then one 20,096-byte record cut from
// fixed byte ranges of each source file (at most 63), then an all-zero
// closing record. Progress and failures are console lines; the failure
// messages are Shift_JIS text.
#include "image_layout.h"
#include "ntfs_upcase.h"
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// Prints a failure report: a location line with this file's bare name and
// `line`, the line of the reporting statement, then `message`, a format in
// which `path` takes the place of any %s.
static void report(int line, const char *message, const char *path = "") {
  const char *name = __FILE__;
  for (const char *p = __FILE__; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\')
      name = p + 1;
  std::printf("%s:%d\n", name, line);
  std::printf(message, path);
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
    report(__LINE__, MSG_OPEN_ERROR, path);
    return -1;
  }
  if (result == IO_READ_FAILED) {
    report(__LINE__, MSG_READ_ERROR, path);
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
    report(__LINE__, MSG_OPEN_ERROR, path);
    return -1;
  }
  if (result == IO_READ_FAILED) {
    report(__LINE__, MSG_READ_ERROR, path);
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

// Answers how many more records the image has room for.
int image_room() { return MAX_RECORDS - builder.record_count; }

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
    report(__LINE__, MSG_OPEN_ERROR, path);
    return -1;
  }
  if (result != IO_OK) {
    report(__LINE__, MSG_WRITE_ERROR, path);
    return -1;
  }
  return 0;
}

// ===========================================================================
// Source tree walk
// ===========================================================================

const int PATH_BUFFER_SIZE = 256; // a full path holds at most 255 characters

// What the walk's steps answer when memory ran out: the build stops.
const int OUT_OF_MEMORY = -1;

// The directories on the branch being walked, innermost first; a link back
// to any of them would walk forever.
struct Branch {
  FileStatus directory;
  const Branch *up;
};

// Answers whether `a` and `b` are the same file.
static bool same_file(const FileStatus &a, const FileStatus &b) {
  return a.device == b.device && a.inode == b.inode;
}

// Answers whether `status` is one of the directories on `branch`.
static bool on_branch(const FileStatus &status, const Branch *branch) {
  for (; branch != nullptr; branch = branch->up)
    if (same_file(branch->directory, status))
      return true;
  return false;
}

// Every directory one walk has gone into, so that no link makes it walk one
// twice: an open-addressing table of identities, at most half full. A slot
// whose device is EMPTY_SLOT holds none.
const std::uint64_t EMPTY_SLOT = ~std::uint64_t(0);
struct Walked {
  FileStatus *slots;
  std::size_t capacity; // a power of two, or 0
  std::size_t count;
};

// Answers the slot of `status` in `walked`: the one that holds it, or the
// empty one where it would go.
static FileStatus *walked_slot(const Walked *walked, const FileStatus &status) {
  std::uint64_t hash =
      (status.inode ^ (status.device << 32 | status.device >> 32)) *
      0x9E3779B97F4A7C15u;
  std::size_t mask = walked->capacity - 1;
  std::size_t i = static_cast<std::size_t>(hash >> 20) & mask;
  while (walked->slots[i].device != EMPTY_SLOT &&
         !same_file(walked->slots[i], status))
    i = (i + 1) & mask;
  return &walked->slots[i];
}

// Answers whether the directory `status` is in `walked`.
static bool already_walked(const Walked *walked, const FileStatus &status) {
  return walked->count > 0 && walked_slot(walked, status)->device != EMPTY_SLOT;
}

// Records in `walked` that the walk goes into the directory `status`.
// Answers 0, or OUT_OF_MEMORY when the table cannot grow.
static int record_walked(Walked *walked, const FileStatus &status) {
  if (2 * (walked->count + 1) > walked->capacity) {
    std::size_t capacity = walked->capacity == 0 ? 64 : 2 * walked->capacity;
    FileStatus *slots =
        static_cast<FileStatus *>(std::malloc(capacity * sizeof(FileStatus)));
    if (slots == nullptr)
      return OUT_OF_MEMORY;
    for (std::size_t i = 0; i < capacity; ++i)
      slots[i].device = EMPTY_SLOT;
    Walked old = *walked;
    walked->slots = slots;
    walked->capacity = capacity;
    for (std::size_t i = 0; i < old.capacity; ++i)
      if (old.slots[i].device != EMPTY_SLOT)
        *walked_slot(walked, old.slots[i]) = old.slots[i];
    std::free(old.slots);
  }
  *walked_slot(walked, status) = status;
  walked->count += 1;
  return 0;
}

// ---------------------------------------------------------------------------
// Name order. Names are compared as NTFS compares them: as UTF-16 code units,
// each upcased through NTFS's table, unit by unit, a name that is a prefix of
// another first; names equal after upcasing go by their units before
// upcasing. Each name gets its key once: its upcased units, each written as
// one to three bytes in an encoding that keeps their order (that of UTF-8),
// so that keys compare with memcmp.
// ---------------------------------------------------------------------------

// Writes `unit` at `p` in the key encoding. Answers the byte after it.
static unsigned char *put_unit(unsigned char *p, std::uint16_t unit) {
  if (unit < 0x80) {
    *p++ = static_cast<unsigned char>(unit);
  } else if (unit < 0x800) {
    *p++ = static_cast<unsigned char>(0xC0 | unit >> 6);
    *p++ = static_cast<unsigned char>(0x80 | (unit & 0x3F));
  } else {
    *p++ = static_cast<unsigned char>(0xE0 | unit >> 12);
    *p++ = static_cast<unsigned char>(0x80 | (unit >> 6 & 0x3F));
    *p++ = static_cast<unsigned char>(0x80 | (unit & 0x3F));
  }
  return p;
}

// Reads the units that put_unit wrote in the `n` bytes at `p` into `units`.
// Answers their number.
static std::size_t get_units(const unsigned char *p, std::size_t n,
                             std::uint16_t *units) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++count) {
    if (p[i] < 0x80) {
      units[count] = p[i];
      i += 1;
    } else if (p[i] < 0xE0) {
      units[count] =
          static_cast<std::uint16_t>((p[i] & 0x1F) << 6 | (p[i + 1] & 0x3F));
      i += 2;
    } else {
      units[count] = static_cast<std::uint16_t>(
          (p[i] & 0x0F) << 12 | (p[i + 1] & 0x3F) << 6 | (p[i + 2] & 0x3F));
      i += 3;
    }
  }
  return count;
}

// A listed entry, as the walk keeps it until it takes the entry in hand:
//   byte 0       its kind, and the flags below
//   bytes 1-2    the key's length, little-endian
//   bytes 3-4    the name's length, little-endian
//   the key, unless the name is all ASCII, when the key is the name with
//   a-z upcased; then the name (no NUL); for an entry that is not
//   representable, then two bytes of length and its units in the key
//   encoding, since its narrow name does not give them back.
const unsigned char ENTRY_KIND_MASK = 0x03;
const unsigned char ENTRY_NOT_REPRESENTABLE = 0x04;
const unsigned char ENTRY_ASCII_KEY = 0x08;
const std::size_t ENTRY_HEAD_SIZE = 5;

// Answers the 16-bit length stored at `p`.
static std::size_t length_at(const unsigned char *p) {
  return static_cast<std::size_t>(p[0] | p[1] << 8);
}

// Stores the 16-bit `length` at `p`.
static void put_length(unsigned char *p, std::size_t length) {
  p[0] = static_cast<unsigned char>(length);
  p[1] = static_cast<unsigned char>(length >> 8);
}

// The fields of an entry: its key's length, the bytes its key takes (none
// when the key is the name's), its name and the name's length.
static std::size_t entry_key_length(const unsigned char *entry) {
  return length_at(entry + 1);
}
static std::size_t entry_key_stored(const unsigned char *entry) {
  return (entry[0] & ENTRY_ASCII_KEY) ? 0 : entry_key_length(entry);
}
static const char *entry_name(const unsigned char *entry) {
  return reinterpret_cast<const char *>(entry + ENTRY_HEAD_SIZE +
                                        entry_key_stored(entry));
}
static std::size_t entry_name_length(const unsigned char *entry) {
  return length_at(entry + 3);
}

// Answers `word`, eight ASCII bytes, with each of a-z upcased.
static std::uint64_t ascii_upcase(std::uint64_t word) {
  const std::uint64_t ones = 0x0101010101010101u;
  // A byte's top bit is set in `from_a` when it is 'a' or above, and in
  // `past_z` when it is above 'z'; no byte below 0x80 carries into the next.
  std::uint64_t from_a = word + (0x80 - 'a') * ones;
  std::uint64_t past_z = word + (0x80 - 'z' - 1) * ones;
  std::uint64_t lower = from_a & ~past_z & 0x80 * ones;
  return word - (lower >> 2);
}

// Answers the eight bytes of `entry`'s key from byte `at` as one number,
// the first byte highest, zero past the key's end. No key holds a zero
// byte, so these numbers order keys as their bytes do.
static std::uint64_t key_word(const unsigned char *entry, std::size_t at) {
  const bool ascii = (entry[0] & ENTRY_ASCII_KEY) != 0;
  const unsigned char *key =
      ascii ? reinterpret_cast<const unsigned char *>(entry_name(entry))
            : entry + ENTRY_HEAD_SIZE;
  const std::size_t length = entry_key_length(entry);
  std::uint64_t word = 0;
  if (at + 8 <= length) {
    const unsigned char *p = key + at;
    word = std::uint64_t(p[0]) << 56 | std::uint64_t(p[1]) << 48 |
           std::uint64_t(p[2]) << 40 | std::uint64_t(p[3]) << 32 |
           std::uint64_t(p[4]) << 24 | std::uint64_t(p[5]) << 16 |
           std::uint64_t(p[6]) << 8 | std::uint64_t(p[7]);
  } else {
    for (std::size_t i = at; i < at + 8; ++i)
      word = word << 8 | (i < length ? key[i] : 0);
  }
  return ascii ? ascii_upcase(word) : word;
}

// Answers the first eight bytes of `entry`'s key, as key_word does.
static std::uint64_t key_head(const unsigned char *entry) {
  return key_word(entry, 0);
}

// Answers the units of `entry`'s name, before upcasing, in `units`, and
// their number.
static std::size_t entry_units(const unsigned char *entry,
                               std::uint16_t *units) {
  if (entry[0] & ENTRY_NOT_REPRESENTABLE) {
    const unsigned char *stored = reinterpret_cast<const unsigned char *>(
        entry_name(entry) + entry_name_length(entry));
    return get_units(stored + 2, length_at(stored), units);
  }
  return name_units(entry_name(entry), entry_name_length(entry), units);
}

// The entries of one listing: kept back to back in blocks, and pointed to
// from two runs, each entry with its key's first eight bytes (`key_head`),
// so that most comparisons never leave a run. A listing's first block takes
// 8 KiB, enough for a folder of a few hundred names; each later one 64 KiB.
const std::size_t FIRST_BLOCK_BYTES = 8 * 1024;
const std::size_t LATER_BLOCK_BYTES = 64 * 1024;
struct EntryBlock {
  EntryBlock *next;
  std::size_t used;
  std::size_t size; // of `bytes`
  unsigned char bytes[1];
};
struct SortedEntry {
  std::uint64_t key_head;
  const unsigned char *entry;
};
// Entries of a listing, `count` of them in room for `capacity`; `next` is
// the next to take.
struct EntryRun {
  SortedEntry *entries;
  std::size_t count;
  std::size_t capacity;
  std::size_t next;
};
// A listing's quiet entries are the regular files whose names are
// representable and whose paths fit: taken once the image is full, they add
// nothing and print nothing. The loud ones are the rest. `loud` holds every
// loud entry; `quiet` only the first quiet ones in name order, as many as
// the image has room for, and `quiet_beyond` counts the others, which
// are not kept: should the files in the run not all be added, the listing
// is read again for them.
struct EntryList {
  EntryBlock *first;
  EntryBlock *last;
  EntryRun loud;
  EntryRun quiet;
  std::size_t quiet_beyond;
};

// Answers whether `a` goes before `b` in name order, when their keys'
// first eight bytes are the same.
static bool entry_before_past_head(const SortedEntry &a, const SortedEntry &b) {
  std::size_t a_length = entry_key_length(a.entry);
  std::size_t b_length = entry_key_length(b.entry);
  std::size_t common = std::min(a_length, b_length);
  for (std::size_t at = 8; at < common; at += 8) {
    std::uint64_t x = key_word(a.entry, at), y = key_word(b.entry, at);
    if (x != y)
      return x < y;
  }
  if (a_length != b_length)
    return a_length < b_length;
  std::uint16_t a_units[NAME_UNITS_MAX], b_units[NAME_UNITS_MAX];
  std::size_t a_count = entry_units(a.entry, a_units);
  std::size_t b_count = entry_units(b.entry, b_units);
  return std::lexicographical_compare(a_units, a_units + a_count, b_units,
                                      b_units + b_count);
}

// Orders entries by name, mostly by the first eight bytes of their keys.
struct EntryOrder {
  bool operator()(const SortedEntry &a, const SortedEntry &b) const {
    if (a.key_head != b.key_head)
      return a.key_head < b.key_head;
    return entry_before_past_head(a, b);
  }
};

// Answers room for `size` more bytes at the end of `list`, or null when
// memory ran out.
static unsigned char *entry_room(EntryList *list, std::size_t size) {
  if (list->last == nullptr || list->last->size - list->last->used < size) {
    std::size_t bytes =
        list->last == nullptr ? FIRST_BLOCK_BYTES : LATER_BLOCK_BYTES;
    EntryBlock *block = static_cast<EntryBlock *>(allocate_block(bytes));
    if (block == nullptr)
      return nullptr;
    block->next = nullptr;
    block->used = 0;
    block->size = bytes - offsetof(EntryBlock, bytes);
    if (list->last != nullptr)
      list->last->next = block;
    else
      list->first = block;
    list->last = block;
  }
  return list->last->bytes + list->last->used;
}

// Answers whether the `length` bytes of `name` are all ASCII.
static bool all_ascii(const char *name, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i)
    if (static_cast<unsigned char>(name[i]) >= 0x80)
      return false;
  return true;
}

// Completes the entry begun at `entry`, whose key ends before `key_end`,
// for `listed`, whose units are `units` (`unit_count`), with the flags
// `flags`. Answers the entry.
static unsigned char *finish_entry(unsigned char *entry, unsigned char *key_end,
                                   const DirEntry &listed,
                                   const std::uint16_t *units,
                                   std::size_t unit_count,
                                   unsigned char flags) {
  put_length(entry + 1,
             flags & ENTRY_ASCII_KEY
                 ? listed.name_length
                 : static_cast<std::size_t>(key_end - entry) - ENTRY_HEAD_SIZE);
  unsigned char *p = key_end;
  std::memcpy(p, listed.name, listed.name_length);
  p += listed.name_length;
  put_length(entry + 3, listed.name_length);
  entry[0] = static_cast<unsigned char>(listed.kind | flags);
  if (!listed.representable) {
    entry[0] |= ENTRY_NOT_REPRESENTABLE;
    unsigned char *stored = p + 2;
    for (std::size_t i = 0; i < unit_count; ++i)
      stored = put_unit(stored, units[i]);
    put_length(p, static_cast<std::size_t>(stored - p) - 2);
    p = stored;
  }
  return entry;
}

// Writes the entry for `listed`, with its key, at the end of `list`, where
// the next entry written takes its place unless keep_entry keeps it.
// Answers the entry, or null when memory ran out.
static unsigned char *write_entry(EntryList *list, const DirEntry &listed) {
  // Most names are ASCII: their key is their bytes, upcased, and is not
  // kept twice.
  if (listed.units == nullptr && listed.representable &&
      all_ascii(listed.name, listed.name_length)) {
    unsigned char *entry =
        entry_room(list, ENTRY_HEAD_SIZE + listed.name_length);
    if (entry == nullptr)
      return nullptr;
    return finish_entry(entry, entry + ENTRY_HEAD_SIZE, listed, nullptr, 0,
                        ENTRY_ASCII_KEY);
  }
  std::uint16_t decoded[NAME_UNITS_MAX];
  const std::uint16_t *units = listed.units;
  std::size_t unit_count = listed.unit_count;
  if (units == nullptr) {
    units = decoded;
    unit_count = name_units(listed.name, listed.name_length, decoded);
  }
  std::size_t key_room = 3 * unit_count;
  std::size_t room = ENTRY_HEAD_SIZE + key_room + listed.name_length;
  if (!listed.representable)
    room += 2 + key_room;
  unsigned char *entry = entry_room(list, room);
  if (entry == nullptr)
    return nullptr;
  unsigned char *key_end = entry + ENTRY_HEAD_SIZE;
  for (std::size_t i = 0; i < unit_count; ++i)
    key_end = put_unit(key_end, ntfs_upcase(units[i]));
  return finish_entry(entry, key_end, listed, units, unit_count, 0);
}

// Answers the bytes `entry` takes.
static std::size_t entry_size(const unsigned char *entry) {
  std::size_t size =
      ENTRY_HEAD_SIZE + entry_key_stored(entry) + entry_name_length(entry);
  if (entry[0] & ENTRY_NOT_REPRESENTABLE)
    size += 2 + length_at(entry + size);
  return size;
}

// Keeps in `list` the entry that write_entry wrote last.
static void keep_entry(EntryList *list, const unsigned char *entry) {
  list->last->used += entry_size(entry);
}

// Appends `entry` to `run`, which grows as needed. Answers 0, or
// OUT_OF_MEMORY.
static int append_entry(EntryRun *run, const SortedEntry &entry) {
  if (run->count == run->capacity) {
    std::size_t capacity = run->capacity == 0 ? 64 : 2 * run->capacity;
    void *grown = grow_block(run->entries, run->capacity * sizeof(SortedEntry),
                             capacity * sizeof(SortedEntry));
    if (grown == nullptr)
      return OUT_OF_MEMORY;
    run->entries = static_cast<SortedEntry *>(grown);
    run->capacity = capacity;
  }
  run->entries[run->count++] = entry;
  return 0;
}

// Offers the quiet `entry` to `list`'s quiet run, which holds the first in
// name order of those offered, as many as it has room for, in a heap with
// the last of them on top. Answers whether the run took `entry`.
static bool offer_quiet(EntryList *list, const SortedEntry &entry) {
  EntryRun *run = &list->quiet;
  SortedEntry *heap = run->entries;
  if (run->count < run->capacity) {
    heap[run->count++] = entry;
    std::push_heap(heap, heap + run->count, EntryOrder());
    return true;
  }
  list->quiet_beyond += 1;
  if (!EntryOrder()(entry, heap[0]))
    return false;
  std::pop_heap(heap, heap + run->count, EntryOrder());
  heap[run->count - 1] = entry;
  std::push_heap(heap, heap + run->count, EntryOrder());
  return true;
}

// Answers whether `listed`, in a directory whose path takes `dir_length`
// bytes, is quiet.
static bool is_quiet(const DirEntry &listed, std::size_t dir_length) {
  return listed.kind == KIND_REGULAR && listed.representable &&
         dir_length + 1 + listed.name_length < PATH_BUFFER_SIZE;
}

// Replaces `list`'s quiet run, all of it taken, with the quiet entries
// beyond it, all of them and in name order, read from `listing` anew, for a
// directory whose path takes `dir_length` bytes: the files taken could not
// all be added. Answers 0, or OUT_OF_MEMORY.
static int take_quiet_beyond(EntryList *list, DirListing *listing,
                             std::size_t dir_length) {
  EntryRun *run = &list->quiet;
  const SortedEntry last = run->entries[run->count - 1];
  std::free(run->entries);
  *run = {};
  list->quiet_beyond = 0;
  if (dir_rewind(listing) != 0)
    return OUT_OF_MEMORY;
  DirEntry listed;
  int more;
  while ((more = dir_next(listing, &listed)) > 0) {
    if (listed.name[0] == '.' || !is_quiet(listed, dir_length))
      continue;
    unsigned char *entry = write_entry(list, listed);
    if (entry == nullptr)
      return OUT_OF_MEMORY;
    SortedEntry sorted = {key_head(entry), entry};
    if (EntryOrder()(last, sorted)) {
      keep_entry(list, entry);
      if (append_entry(run, sorted) != 0)
        return OUT_OF_MEMORY;
    }
  }
  if (more < 0)
    return OUT_OF_MEMORY;
  std::sort(run->entries, run->entries + run->count, EntryOrder());
  return 0;
}

// Releases what `list` holds.
static void release_entries(EntryList *list) {
  while (list->first != nullptr) {
    EntryBlock *next = list->first->next;
    std::free(list->first);
    list->first = next;
  }
  std::free(list->loud.entries);
  std::free(list->quiet.entries);
}

// Reads `listing` to its end into `list`, passing over names that begin
// with '.', and puts it in name order, for a directory whose path takes
// `dir_length` bytes. Quiet entries are not kept at all when the image is
// full already, and only as many of them are put in the quiet run as the
// image has room for. Answers 0, or OUT_OF_MEMORY.
static int list_directory(DirListing *listing, EntryList *list,
                          std::size_t dir_length) {
  const std::size_t room = static_cast<std::size_t>(image_room());
  if (room > 0) {
    list->quiet.entries =
        static_cast<SortedEntry *>(allocate_block(room * sizeof(SortedEntry)));
    if (list->quiet.entries == nullptr)
      return OUT_OF_MEMORY;
    list->quiet.capacity = room;
  }
  DirEntry listed;
  int more;
  while ((more = dir_next(listing, &listed)) > 0) {
    if (listed.name[0] == '.')
      continue;
    bool quiet = is_quiet(listed, dir_length);
    if (quiet && room == 0)
      continue;
    unsigned char *entry = write_entry(list, listed);
    if (entry == nullptr)
      return OUT_OF_MEMORY;
    SortedEntry sorted = {key_head(entry), entry};
    if (quiet) {
      if (offer_quiet(list, sorted))
        keep_entry(list, entry);
    } else {
      keep_entry(list, entry);
      if (append_entry(&list->loud, sorted) != 0)
        return OUT_OF_MEMORY;
    }
  }
  if (more < 0)
    return OUT_OF_MEMORY;
  std::sort(list->loud.entries, list->loud.entries + list->loud.count,
            EntryOrder());
  std::sort_heap(list->quiet.entries, list->quiet.entries + list->quiet.count,
                 EntryOrder());
  return 0;
}

// Sets `*entry` to the next entry of `list` to take, in name order, or to
// null when none is left that could add a record or print a line: once the
// image is full, the quiet entries left are passed over. `list` was read
// from `listing`, a directory whose path takes `dir_length` bytes. Answers
// 0, or OUT_OF_MEMORY.
static int next_entry(EntryList *list, DirListing *listing,
                      std::size_t dir_length, const unsigned char **entry) {
  EntryRun *quiet = &list->quiet, *loud = &list->loud;
  const bool room = image_room() > 0;
  if (room && quiet->next == quiet->count && list->quiet_beyond > 0 &&
      take_quiet_beyond(list, listing, dir_length) != 0)
    return OUT_OF_MEMORY;
  if (room && quiet->next < quiet->count &&
      (loud->next == loud->count ||
       EntryOrder()(quiet->entries[quiet->next], loud->entries[loud->next])))
    *entry = quiet->entries[quiet->next++].entry;
  else
    *entry =
        loud->next < loud->count ? loud->entries[loud->next++].entry : nullptr;
  return 0;
}

static int walk_directory(const DirListing *parent, const char *name,
                          const char *dir_path, const Branch *branch,
                          Walked *walked);

// Takes the entry `entry` of the open directory `listing`, whose path
// (`dir_length` bytes) and a separator begin `fullpath`, where the entry's
// own full path is formed: prints the line for an entry it cannot take,
// walks a directory, hands a regular file to add_source_file. Answers 0, or
// OUT_OF_MEMORY.
static int take_entry(const DirListing *listing, char *fullpath,
                      std::size_t dir_length, const unsigned char *entry,
                      const Branch *branch, Walked *walked) {
  std::size_t name_length = entry_name_length(entry);
  if (dir_length + 1 + name_length >= PATH_BUFFER_SIZE) {
    std::printf("'%.*s%.*s' path too long \n", static_cast<int>(dir_length + 1),
                fullpath, static_cast<int>(name_length), entry_name(entry));
    return 0;
  }
  char *name = fullpath + dir_length + 1;
  std::memcpy(name, entry_name(entry), name_length);
  name[name_length] = '\0';
  if (entry[0] & ENTRY_NOT_REPRESENTABLE) {
    std::printf("'%s' name not representable \n", fullpath);
    return 0;
  }

  FileKind kind = static_cast<FileKind>(entry[0] & ENTRY_KIND_MASK);
  FileStatus sta = {kind, 0, 0};
  if ((kind == KIND_DIRECTORY || kind == KIND_UNKNOWN) &&
      entry_status(listing, name, fullpath, &sta) != 0) {
    std::printf(" stat(fullpath,sta) != 0\n");
  } else if (sta.kind == KIND_DIRECTORY) {
    if (on_branch(sta, branch)) {
      std::printf("'%s' dir loop \n", fullpath);
    } else if (already_walked(walked, sta)) {
      std::printf("'%s' dir already walked \n", fullpath);
    } else {
      if (record_walked(walked, sta) != 0)
        return OUT_OF_MEMORY;
      Branch deeper = {sta, branch};
      return walk_directory(listing, name, fullpath, &deeper, walked);
    }
  } else if (sta.kind == KIND_REGULAR) {
    add_source_file(fullpath); // a file without a record is reported there
  } else {
    std::printf("'%s' not a regular file \n", fullpath);
  }
  return 0;
}

// Walks the directory `name` of the open directory `parent` (null: the top),
// whose path is `dir_path` and whose identity is on top of `branch` and in
// `walked`, with every directory gone into before it: hands each regular
// file below it to add_source_file, in name order, depth-first, until the
// image is full, and prints a line for each entry it cannot take. A status is taken only
// where the listing leaves the kind open or a directory's identity is
// needed. Answers 0, or OUT_OF_MEMORY, at which the walk stops.
static int walk_directory(const DirListing *parent, const char *name,
                          const char *dir_path, const Branch *branch,
                          Walked *walked) {
  DirListing *listing = dir_open(parent, name, dir_path);
  if (listing == nullptr) {
    if (errno == ENOMEM)
      return OUT_OF_MEMORY;
    std::printf("'%s' dir open errno=%d \n", dir_path, errno);
    return 0;
  }
  // The full path of each entry in hand: this folder's path, a separator,
  // the entry's name. A path that would not fit is never formed.
  char fullpath[PATH_BUFFER_SIZE];
  const std::size_t dir_length = std::strlen(dir_path);
  std::memcpy(fullpath, dir_path, dir_length);
  fullpath[dir_length] = PATH_SEPARATOR;
  EntryList list = {};
  int result = list_directory(listing, &list, dir_length);
  const unsigned char *entry;
  while (result == 0 &&
         (result = next_entry(&list, listing, dir_length, &entry)) == 0 &&
         entry != nullptr)
    result = take_entry(listing, fullpath, dir_length, entry, branch, walked);
  release_entries(&list);
  dir_close(listing);
  return result;
}

// Walks the source tree below `dir_path`, handing every regular file whose
// name and directories do not begin with '.' to add_source_file until the
// image is full, and going into each directory, however many links lead to
// it, once. Reports its troubles as console lines. Answers 0, or
// OUT_OF_MEMORY when memory ran out, which ended the walk.
int walk_source_tree(const char *dir_path) {
  Branch top = {};
  Walked walked = {};
  bool known = file_status(dir_path, &top.directory) == 0;
  int result = known ? record_walked(&walked, top.directory) : 0;
  if (result == 0)
    result = walk_directory(nullptr, dir_path, dir_path, known ? &top : nullptr,
                            &walked);
  std::free(walked.slots);
  return result;
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
    report(__LINE__, MSG_MEMORY_ERROR);
    return EXIT_NO_IMAGE;
  }
  builder.source_buffer =
      static_cast<unsigned char *>(allocate_zeroed(SOURCE_BUFFER_SIZE));
  if (builder.source_buffer == nullptr) {
    report(__LINE__, MSG_MEMORY_ERROR);
    release_buffers();
    return EXIT_NO_IMAGE;
  }

  int status = EXIT_BUILT;
  if (load_template(TEMPLATE_PATH) < 0) {
    report(__LINE__, MSG_PREPARE_ERROR);
    status = EXIT_NO_IMAGE;
  } else {
    if (walk_source_tree(SOURCE_ROOT) < 0) {
      report(__LINE__, MSG_MEMORY_ERROR);
      status = EXIT_NO_IMAGE;
    } else if (write_image(OUTPUT_PATH) < 0) {
      report(__LINE__, MSG_FINISH_ERROR);
      status = EXIT_NO_IMAGE;
    }
  }
  release_buffers();
  return status;
}

int main(int argc, char **argv) {
  prepare_process();
  parse_options(argc, argv);
  int status = build_run();
  std::printf("done\n");
  return status;
}
