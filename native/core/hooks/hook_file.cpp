#include "hook_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace corvane::monitor {

namespace {

std::string cannot_read(const std::string& path, int error) {
  return "cannot read the hook file " + path + ": " + std::strerror(error);
}

}  // namespace

std::string read_hook_file(FileTail& tail, const std::string& path, const Blocking& blocking,
                           const FileTail::TakeLine& take) {
  struct stat st {};
  int err = 0, fd = -1;
  // Not blocking: a FIFO put in the file's place would hold the open until a writer came.
  blocking([&] {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
      err = errno;
    } else if (::fstat(fd, &st) != 0) {
      err = errno;
    }
  });
  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  } closer{fd};
  if (fd < 0 && err == ENOENT) return {};  // not written yet
  if (fd < 0 || err != 0) return cannot_read(path, err);
  // Only a regular file is read: a FIFO or a device (a link to /dev/urandom) is not a file
  // of reports, and reading one would wait or never end.
  if (S_ISDIR(st.st_mode)) return cannot_read(path, EISDIR);
  if (!S_ISREG(st.st_mode)) return "cannot read the hook file " + path + ": not a regular file";
  auto read = [&](char* buffer, std::size_t size, std::int64_t offset, int* error) {
    long long got = 0;
    blocking([&] {
      do {
        got = ::pread(fd, buffer, size, offset);
      } while (got < 0 && errno == EINTR);
      if (got < 0) *error = errno;
    });
    return got;
  };
  FileTail::Identity file{static_cast<std::uint64_t>(st.st_dev),
                          static_cast<std::uint64_t>(st.st_ino),
                          static_cast<std::int64_t>(st.st_size)};
  err = tail.pass(file, read, take);
  return err != 0 ? cannot_read(path, err) : std::string();
}

}  // namespace corvane::monitor
