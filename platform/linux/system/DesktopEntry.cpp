#include "platform/linux/system/DesktopEntry.h"

#include <sstream>

#include "platform/linux/system/Files.h"
#include "platform/linux/system/XdgPaths.h"

namespace qv::desktop {
namespace {

// One Exec argument, as freedesktop.org's desktop entry rules require: inside double quotes,
// with " ` $ and \ escaped by a backslash and every % doubled (a lone % starts a field
// code). The key's value is then escaped as every string value is: \ becomes \\, and
// newline, tab and carriage return become \n, \t and \r.
std::string quotedArgument(const std::string& argument) {
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
    if (c == '%') quoted += '%';
  }
  quoted += '"';
  std::string value;
  for (char c : quoted) {
    switch (c) {
      case '\\':
        value += "\\\\";
        break;
      case '\n':
        value += "\\n";
        break;
      case '\t':
        value += "\\t";
        break;
      case '\r':
        value += "\\r";
        break;
      default:
        value += c;
    }
  }
  return value;
}

// A desktop entry is a few hundred bytes; anything larger is not ours to keep.
constexpr std::size_t kMaxEntrySize = 1024 * 1024;

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
  if (!files::isPlainFileName(applicationId)) return false;
  const std::string folder = xdg::dataHome() + "/applications";
  if (!xdg::makeDirectories(folder, 0700)) return false;
  const std::string target = folder + "/" + applicationId + ".desktop";
  if (files::read(target, kMaxEntrySize) == entry) return true;
  // World-readable, as desktop entries are.
  return files::writeAtomically(target, entry, 0644);
}

}  // namespace qv::desktop
