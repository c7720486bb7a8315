#include "platform/linux/DesktopEntry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/linux/XdgPaths.h"

namespace qv::desktop {
namespace {

// Quoted as freedesktop.org desktop entries require: inside double quotes, the characters
// " ` $ and \ are escaped with a backslash; the key's value escaping then doubles every
// backslash.
std::string quotedArgument(const std::string& argument) {
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  std::string value;
  for (char c : quoted) {
    if (c == '\\') value += '\\';
    value += c;
  }
  return value;
}

bool plainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

std::optional<std::string> withExecutable(const std::string& entry, const std::string& executable) {
  std::istringstream lines(entry);
  std::string line;
  std::string result;
  bool inMainGroup = false;
  bool sawMainGroup = false;
  bool wroteExec = false;
  auto addExec = [&] {
    if (inMainGroup && !wroteExec) result += "Exec=" + quotedArgument(executable) + " %u\n";
    wroteExec = wroteExec || inMainGroup;
  };
  while (std::getline(lines, line)) {
    if (!line.empty() && line.front() == '[') {
      addExec();  // the group had no Exec line of its own
      inMainGroup = line == "[Desktop Entry]";
      sawMainGroup = sawMainGroup || inMainGroup;
    } else if (inMainGroup && line.rfind("Exec=", 0) == 0) {
      addExec();
      continue;
    }
    result += line + "\n";
  }
  addExec();
  if (!sawMainGroup) return std::nullopt;
  return result;
}

bool install(const std::string& applicationId, const std::string& entry) {
  if (!plainFileName(applicationId)) return false;
  const std::string folder = xdg::dataHome() + "/applications";
  if (!xdg::makeDirectories(folder, 0700)) return false;
  const std::string target = folder + "/" + applicationId + ".desktop";
  if (readFile(target) == entry) return true;

  const std::string temporary = target + ".tmp-" + std::to_string(::getpid());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::size_t written = 0;
  bool ok = true;
  while (ok && written < entry.size()) {
    ssize_t count = ::write(fd, entry.data() + written, entry.size() - written);
    if (count < 0 && errno == EINTR) continue;
    ok = count > 0;
    if (ok) written += static_cast<std::size_t>(count);
  }
  ok = (::close(fd) == 0) && ok;
  if (!ok || std::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace qv::desktop
