// File: common/file_reader.cc
//
// POSIX open/read/close with the size from fstat as a first guess only: files that grow
// while being read, and files whose size the kernel does not know, are still read to
// their real end.

#include "common/file_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include <sys/stat.h>

namespace quelt {
namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

constexpr std::size_t MIN_CHUNK = 64 * 1024;

}  // namespace

Result<std::vector<std::uint8_t>, FileError> read_whole_file(const char* path) {
  int fd = -1;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Unexpected{FileError{FileError::Step::Open, errno}};
  const FileDescriptor file(fd);

  // One byte past the expected size, so that a single read reaches the end of file.
  struct stat info {};
  std::size_t expected = MIN_CHUNK;
  if (::fstat(fd, &info) == 0 && info.st_size > 0) {
    expected = static_cast<std::size_t>(info.st_size) + 1;
  }
  std::vector<std::uint8_t> bytes(expected);
  std::size_t used = 0;
  for (;;) {
    if (used == bytes.size()) bytes.resize(2 * bytes.size());
    const ssize_t got = ::read(fd, bytes.data() + used, bytes.size() - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Unexpected{FileError{FileError::Step::Read, errno}};
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  bytes.resize(used);
  return bytes;
}

}  // namespace quelt
