/* What the statically linked libstdc++ refers to that glibc 2.28 lacks, given to each
   module privately (hidden), so the modules load on glibc 2.28. */
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

/* glibc 2.32: whether the process has only one thread. Always "no" here, which only means
   reference counts are always updated atomically. */
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

/* glibc 2.36: the default source of std::random_device, whose code comes in with the parts
   of the library the modules use (they never ask it for a number). */
__attribute__((visibility("hidden"))) uint32_t arc4random(void) {
  uint32_t value = 0;
  if (getentropy(&value, sizeof value) == 0) return value;
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  ssize_t got = fd >= 0 ? read(fd, &value, sizeof value) : -1;
  if (fd >= 0) close(fd);
  if (got != (ssize_t)sizeof value) abort(); /* as arc4random does: it never fails */
  return value;
}
