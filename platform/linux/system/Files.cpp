#include "platform/linux/system/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/linux/system/UniqueFd.h"

namespace qv::files {
namespace {

bool writeAll(int fd, std::string_view text) {
  std::size_t written = 0;
  while (written < text.size()) {
    ssize_t count = ::write(fd, text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    written += static_cast<std::size_t>(count);
  }
  return true;
}

// A rename is durable only once the folder that holds the name is on disk too.
bool syncDirectory(const std::string& directory) {
  UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.valid() && ::fsync(fd.get()) == 0;
}

}  // namespace

bool isPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

bool writeAtomically(const std::string& path, std::string_view contents, mode_t mode) {
  std::string temporary = path + ".tmp-XXXXXX";
  UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd.valid()) return false;
  bool ok = ::fchmod(fd.get(), mode) == 0 && writeAll(fd.get(), contents) && ::fsync(fd.get()) == 0;
  ok = ::close(fd.release()) == 0 && ok;
  if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return syncDirectory(directoryOf(path));
}

std::variant<std::string, int> readAll(const std::string& path, std::size_t maxSize) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return errno;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return errno;
  if (S_ISDIR(info.st_mode)) return EISDIR;
  if (static_cast<std::uintmax_t>(info.st_size) > maxSize) return EFBIG;
  std::string contents;
  char chunk[64 * 1024];
  for (;;) {
    ssize_t count = ::read(fd.get(), chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return errno;
    if (count == 0) return contents;
    // The file may grow while it is read.
    if (static_cast<std::size_t>(count) > maxSize - contents.size()) return EFBIG;
    contents.append(chunk, static_cast<std::size_t>(count));
  }
}

std::optional<std::string> read(const std::string& path, std::size_t maxSize) {
  std::variant<std::string, int> contents = readAll(path, maxSize);
  if (auto* text = std::get_if<std::string>(&contents)) return std::move(*text);
  return std::nullopt;
}

std::string directoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string fileNameOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

FileIdentity identityOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  return FileIdentity{info.st_dev, info.st_ino};
}

std::optional<std::string> moveAside(const std::string& path, const std::string& suffix) {
  for (int attempt = 1; attempt <= 100; ++attempt) {
    std::string target = path + suffix + (attempt == 1 ? "" : "-" + std::to_string(attempt));
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
      return target;
    }
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace qv::files
