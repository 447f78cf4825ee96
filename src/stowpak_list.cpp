// stowpak-list: lists the records of a stowpak image and checks its layout.
//
// It reads the image (STOWPK.GBA unless named), prints a listing on
// standard output (text, or one JSON document with --json) and one line per
// failed check on standard error. It never writes a file.
#include "list_image.h"
#include "list_platform.h"

#include <cstdio>
#include <cstring>
#include <string>

#ifndef STOWPAK_VERSION
#error "STOWPAK_VERSION must be the project's version"
#endif

// Exit statuses.
const int EXIT_WELL_FORMED = 0; // no problem found, or help or version shown
const int EXIT_PROBLEMS = 1;    // the image was read and problems were found
const int EXIT_UNREADABLE = 2;  // the image could not be read, or bad usage

const char DEFAULT_IMAGE[] = "STOWPK.GBA";
const char USAGE_LINE[] = "Usage: stowpak-list [--json] [IMAGE]\n";
const char HELP_TEXT[] =
    "Lists the records of a stowpak image (default STOWPK.GBA) and checks\n"
    "its layout; each problem found is one line on standard error.\n"
    "  --json      print one JSON document instead of the listing\n"
    "  -h, --help  print this text\n"
    "  --version   print the version\n"
    "Exit status: 0 well formed, 1 problems found, 2 not readable or bad "
    "usage.\n";

// What the command line asks for.
struct Request {
  bool json = false;
  const char *path = DEFAULT_IMAGE;
};

// Prints a usage error and the usage line to standard error. Answers
// EXIT_UNREADABLE.
static int usage_error(const char *message, const char *argument) {
  std::fprintf(stderr, "stowpak-list: %s %s\n%s", message, argument,
               USAGE_LINE);
  return EXIT_UNREADABLE;
}

// Reads the arguments left to right into `request`; "--" ends the options.
// Answers -1 to go on, or the exit status once help or the version has been
// printed or a usage error reported.
static int parse_arguments(int argc, char **argv, Request *request) {
  bool options = true;
  bool have_path = false;
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (options && std::strcmp(arg, "--") == 0) {
      options = false;
    } else if (options && arg[0] == '-') {
      if (std::strcmp(arg, "--json") == 0) {
        request->json = true;
      } else if (std::strcmp(arg, "-h") == 0 ||
                 std::strcmp(arg, "--help") == 0) {
        std::printf("%s%s", USAGE_LINE, HELP_TEXT);
        return EXIT_WELL_FORMED;
      } else if (std::strcmp(arg, "--version") == 0) {
        std::printf("stowpak-list %s\n", STOWPAK_VERSION);
        return EXIT_WELL_FORMED;
      } else {
        return usage_error("unknown option", arg);
      }
    } else if (have_path) {
      return usage_error("more than one image:", arg);
    } else {
      request->path = arg;
      have_path = true;
    }
  }
  return -1;
}

// Reports on standard error why the image at `path` could not be read.
static void print_read_failure(const char *path, ReadResult result) {
  const char *reason = result == READ_NOT_FOUND     ? "no such file"
                       : result == READ_NOT_REGULAR ? "not a regular file"
                       : result == READ_OPEN_FAILED ? "cannot be opened"
                                                    : "read error";
  std::fprintf(stderr, "stowpak-list: %s: %s\n", path, reason);
}

int main(int argc, char **argv) {
  Request request;
  int status = parse_arguments(argc, argv, &request);
  if (status >= 0)
    return status;

  std::vector<unsigned char> bytes;
  std::uint64_t size = 0;
  ReadResult result = read_image_file(
      request.path, static_cast<std::size_t>(MAX_IMAGE_SIZE), &bytes, &size);
  if (result != READ_OK) {
    print_read_failure(request.path, result);
    return EXIT_UNREADABLE;
  }
  ImageReport report;
  check_image(bytes.data(), bytes.size(), size, &report);
  if (!report.has_header) {
    std::fprintf(stderr,
                 "stowpak-list: %s: %llu bytes, shorter than a %d-byte "
                 "header\n",
                 request.path, static_cast<unsigned long long>(size),
                 HEADER_SIZE);
    return EXIT_UNREADABLE;
  }

  std::string listing =
      request.json ? listing_json(argument_to_utf8(request.path), report)
                   : listing_text(request.path, report);
  std::fwrite(listing.data(), 1, listing.size(), stdout);
  std::fflush(stdout);
  for (const std::string &problem : report.problems)
    std::fprintf(stderr, "%s\n", problem.c_str());
  return report.problems.empty() ? EXIT_WELL_FORMED : EXIT_PROBLEMS;
}
