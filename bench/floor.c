/* floor: the system work of one stowpak pack and nothing else.
 *
 * Run in a workspace, it does what a pack asks of the system, in the same
 * order: reads the template's header, walks "root" depth-first (listing each
 * folder with getdents64 in large blocks, opening folders relative to their
 * parent, taking a status only where the listing does not say what an entry
 * is), reads the head of the first 63 regular files it meets, then writes the
 * image to a new file beside STOWPK.GBA, syncs it, renames it over
 * STOWPK.GBA and syncs the folder. Nothing is sorted or printed and no path
 * is built: the benchmark times it as the floor the tool is measured against.
 * Linux only. Exits 0, or 1 after a line on standard error at the first
 * failure.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

enum {
  HEADER_SIZE = 768,     /* template bytes kept */
  RECORD_SIZE = 20096,   /* bytes per record, the closing one included */
  MAX_RECORDS = 63,      /* source files packed */
  SOURCE_SIZE = 24576,   /* bytes read from each source file */
  LIST_BLOCK = 64 * 1024 /* bytes asked of each getdents64 */
};
#define IMAGE_SIZE (HEADER_SIZE + (MAX_RECORDS + 1) * RECORD_SIZE)
#define HUGE_PAGE_SIZE ((size_t)2 << 20)

/* One record of a getdents64 listing, as the kernel lays it out. */
struct entry64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[];
};

/* The folders on the branch being walked, innermost first. */
struct branch {
  dev_t dev;
  ino_t ino;
  const struct branch *up;
};

static unsigned char *image;
static unsigned char source[SOURCE_SIZE];
static int records;

/* Reports the failed step `what` on `name` with errno's text and exits 1. */
static void fail(const char *what, const char *name) {
  fprintf(stderr, "floor: %s %s: %s\n", what, name, strerror(errno));
  exit(1);
}

/* Reads the head of the file `name` in the folder `dir` with one read and
 * copies the record's fields (as the tool cuts them) into the next record. */
static void add_source(int dir, const char *name) {
  int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    fail("open", name);
  if (read(fd, source, SOURCE_SIZE) < 0)
    fail("read", name);
  close(fd); /* only read: nothing to lose */
  unsigned char *record = image + HEADER_SIZE + records * RECORD_SIZE;
  memcpy(record, source + 64, 32);          /* lead */
  memcpy(record + 32, source + 96, 32);     /* label */
  memcpy(record + 96, source + 160, 20000); /* body */
  ++records;
}

/* Walks the open folder `dir` (closing it) below the folders of `up`.
 * A folder already on the branch, reached by a link, is left alone. */
static void walk(int dir, const char *name, const struct branch *up) {
  struct stat st;
  if (fstat(dir, &st) != 0)
    fail("fstat", name);
  for (const struct branch *b = up; b != NULL; b = b->up)
    if (b->dev == st.st_dev && b->ino == st.st_ino) {
      close(dir);
      return;
    }
  struct branch here = {st.st_dev, st.st_ino, up};
  char *block = malloc(LIST_BLOCK);
  if (block == NULL)
    fail("allocate a listing block for", name);
  for (;;) {
    long got = syscall(SYS_getdents64, dir, block, LIST_BLOCK);
    if (got < 0)
      fail("list", name);
    if (got == 0)
      break;
    for (long at = 0; at < got;) {
      struct entry64 *e = (struct entry64 *)(block + at);
      at += e->d_reclen;
      if (e->d_name[0] == '.')
        continue;
      unsigned char type = e->d_type;
      if (type == DT_LNK || type == DT_UNKNOWN) {
        if (fstatat(dir, e->d_name, &st, 0) != 0)
          fail("stat", e->d_name);
        type = S_ISDIR(st.st_mode)   ? DT_DIR
               : S_ISREG(st.st_mode) ? DT_REG
                                     : DT_UNKNOWN;
      }
      if (type == DT_DIR) {
        int sub = openat(dir, e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (sub < 0)
          fail("open folder", e->d_name);
        walk(sub, e->d_name, &here);
      } else if (type == DT_REG && records < MAX_RECORDS) {
        add_source(dir, e->d_name);
      }
    }
  }
  free(block);
  close(dir); /* only listed: nothing to lose */
}

/* Writes the image to a new file beside STOWPK.GBA, syncs it, renames it
 * over STOWPK.GBA and syncs the folder. */
static void write_image(void) {
  char temp[64];
  snprintf(temp, sizeof temp, "STOWPK.GBA.%ld-0.tmp", (long)getpid());
  int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0)
    fail("create", temp);
  for (size_t done = 0; done < IMAGE_SIZE;) {
    ssize_t n = write(fd, image + done, IMAGE_SIZE - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      fail("write", temp);
    done += (size_t)n;
  }
  if (fsync(fd) != 0 || close(fd) != 0)
    fail("sync", temp);
  if (rename(temp, "STOWPK.GBA") != 0)
    fail("rename", temp);
  int here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (here < 0 || fsync(here) != 0)
    fail("sync", ".");
  close(here); /* synced already */
}

/* Obtains the zeroed image buffer as the tool does: one huge page, aligned
 * and marked for huge pages, so that filling and writing it costs one page
 * fault where small pages would take some 300. */
static void allocate_image(void) {
  image = aligned_alloc(HUGE_PAGE_SIZE, HUGE_PAGE_SIZE);
  if (image == NULL)
    fail("allocate", "the image");
  /* Only advice: where huge pages are not offered, small ones serve. */
  (void)madvise(image, HUGE_PAGE_SIZE, MADV_HUGEPAGE);
  memset(image, 0, IMAGE_SIZE);
}

int main(void) {
  allocate_image();
  int fd = open("HXQT.GBA", O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    fail("open", "HXQT.GBA");
  if (read(fd, image, HEADER_SIZE) < 0)
    fail("read", "HXQT.GBA");
  close(fd); /* only read: nothing to lose */

  int root = open("root", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0)
    fail("open folder", "root");
  walk(root, "root", NULL);

  write_image();
  return 0;
}
