#include "corvane/util/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "corvane/util/errors.hpp"
#include "corvane/util/utf8.hpp"

namespace corvane {
namespace {

[[noreturn]] void throw_os_error(int error, const std::string& path) {
  std::string message = "[Errno " + std::to_string(error) + "] " + std::strerror(error) + ": '" + path + "'";
  switch (error) {
    case ENOENT: throw FileNotFoundError(message);
    case EACCES:
    case EPERM: throw PermissionError(message);
    case EISDIR: throw IsADirectoryError(message);
    default: throw OSError(message);
  }
}

// Closes the descriptor when the read ends, on every path.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::string read_text_file(std::string_view path_view, std::size_t max_size) {
  std::string path(path_view);
  if (path.find('\0') != std::string::npos) throw ValueError("embedded null byte");
  Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (file.fd < 0) throw_os_error(errno, path);
  struct stat info {};
  if (::fstat(file.fd, &info) != 0) throw_os_error(errno, path);
  if (S_ISDIR(info.st_mode)) throw_os_error(EISDIR, path);
  if (!S_ISREG(info.st_mode)) throw OSError("not a regular file: '" + path + "'");
  if (static_cast<std::size_t>(info.st_size) > max_size) {
    throw OSError("file larger than " + std::to_string(max_size) + " bytes: '" + path + "'");
  }

  std::string content;
  // Read once into place: growing by doubling would hold up to twice the file.
  content.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(file.fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw_os_error(errno, path);
    }
    if (got == 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
    if (content.size() > max_size) {
      throw OSError("file larger than " + std::to_string(max_size) + " bytes: '" + path + "'");
    }
  }
  require_utf8(content);
  return content;
}

}  // namespace corvane
