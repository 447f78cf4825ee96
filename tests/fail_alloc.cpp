// A preload library that makes the one allocation of STOWPAK_FAIL_ALLOC bytes
// (the product of calloc's two arguments, or malloc's one) fail, so the
// tests can see how the shipped tool handles a failed allocation.
#include <cerrno>
#include <cstddef>
#include <cstdlib>

extern "C" {
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_malloc(std::size_t size);

static bool fails(std::size_t size) {
  const char *target = std::getenv("STOWPAK_FAIL_ALLOC");
  return target != nullptr && std::strtoull(target, nullptr, 10) == size;
}

void *calloc(std::size_t count, std::size_t size) {
  if (fails(count * size)) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_calloc(count, size);
}

void *malloc(std::size_t size) {
  if (fails(size)) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}
}
