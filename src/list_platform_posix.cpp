// stowpak-list's platform services on POSIX: labels are decoded with the C
// library's iconv ("CP932") and shown as UTF-8.
#include "list_platform.h"

#include <cerrno>
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

// Answers the number of characters in the UTF-8 text `utf8`.
static std::size_t code_points(const std::string &utf8) {
  std::size_t count = 0;
  for (char c : utf8)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
      ++count;
  return count;
}

ReadResult read_image_file(const char *path, std::size_t limit,
                           std::vector<unsigned char> *bytes,
                           std::uint64_t *size) {
  // Non-blocking, so that opening a pipe does not wait for a writer.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return errno == ENOENT || errno == ENOTDIR ? READ_NOT_FOUND
                                               : READ_OPEN_FAILED;
  struct stat sb;
  if (fstat(fd, &sb) != 0) {
    close(fd);
    return READ_FAILED;
  }
  if (!S_ISREG(sb.st_mode)) {
    close(fd);
    return READ_NOT_REGULAR;
  }
  *size = static_cast<std::uint64_t>(sb.st_size);
  std::size_t want = *size < limit ? static_cast<std::size_t>(*size) : limit;
  bytes->assign(want, 0);
  std::size_t got = 0;
  while (got < want) {
    ssize_t n = read(fd, bytes->data() + got, want - got);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      close(fd);
      return READ_FAILED;
    }
    if (n == 0)
      break;
    got += static_cast<std::size_t>(n);
  }
  close(fd); // read-only: nothing to lose
  if (got < want) {
    // The file shrank while it was read: it is as long as what was read.
    bytes->resize(got);
    *size = got;
  }
  return READ_OK;
}

bool decode_label_char(const unsigned char *bytes, std::size_t n,
                       std::string *utf8) {
  static iconv_t decoder = iconv_open("UTF-8", "CP932");
  if (decoder == reinterpret_cast<iconv_t>(-1))
    return false;
  // Back to the initial state; this cannot fail.
  (void)iconv(decoder, nullptr, nullptr, nullptr, nullptr);
  char in[2];
  for (std::size_t i = 0; i < n && i < sizeof in; ++i)
    in[i] = static_cast<char>(bytes[i]);
  char out[16];
  char *in_cursor = in;
  char *out_cursor = out;
  std::size_t in_left = n < sizeof in ? n : sizeof in;
  std::size_t out_left = sizeof out;
  if (iconv(decoder, &in_cursor, &in_left, &out_cursor, &out_left) ==
          static_cast<std::size_t>(-1) ||
      in_left != 0)
    return false;
  utf8->assign(out, static_cast<std::size_t>(out_cursor - out));
  return code_points(*utf8) == 1;
}

bool console_char(const unsigned char *, std::size_t, const std::string &utf8,
                  std::string *shown) {
  *shown = utf8;
  return true;
}

std::string argument_to_utf8(const char *argument) { return argument; }
