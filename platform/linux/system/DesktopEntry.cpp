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

// What GLib's key-file parser, which the desktop uses, makes of one line: the group a
// "[name]" line opens, or the key a "key=value" line sets. It ignores leading whitespace,
// a carriage return before the newline, everything from a NUL byte on, whitespace after
// the "]" of a group and before the "=" of a key; "#" starts a comment.
struct ParsedLine {
  std::optional<std::string> group;
  std::optional<std::string> key;
};

bool isAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

ParsedLine parseLine(std::string line) {
  line = line.substr(0, line.find('\0'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::size_t start = 0;
  while (start < line.size() && isAsciiSpace(line[start])) ++start;
  line.erase(0, start);
  if (line.empty() || line.front() == '#') return {};
  if (line.front() == '[') {
    std::size_t close = line.find(']');
    if (close == std::string::npos) return {};
    std::size_t rest = close + 1;
    while (rest < line.size() && (line[rest] == ' ' || line[rest] == '\t')) ++rest;
    if (rest != line.size()) return {};
    return {line.substr(1, close - 1), std::nullopt};
  }
  std::size_t equals = line.find('=');
  if (equals == std::string::npos) return {};
  std::size_t end = equals;
  while (end > 0 && isAsciiSpace(line[end - 1])) --end;
  return {std::nullopt, line.substr(0, end)};
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
    ParsedLine parsed = parseLine(line);
    if (parsed.group) {
      addExec();  // the group had no Exec line of its own
      inMainGroup = *parsed.group == "Desktop Entry";
      sawMainGroup = sawMainGroup || inMainGroup;
    } else if (inMainGroup && parsed.key == "Exec") {
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
