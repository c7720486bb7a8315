#include "platform/linux/system/LinuxBundle.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <string_view>

#include "platform/Base64.h"
#include "platform/CHandle.h"
#include "platform/linux/system/Files.h"

namespace qv {
namespace {

// Seconds between the Unix epoch and libplist's date epoch (2001-01-01T00:00:00Z).
constexpr std::int64_t kPlistEpochOffset = 978307200;
// Info.plist files are small; anything beyond this is not one.
constexpr std::size_t kMaxInfoPlistSize = 16 * 1024 * 1024;

using PlistPtr = CHandle<void, plist_free>;

std::string errnoText(int error) {
  std::array<char, 256> buffer{};
  // GNU strerror_r may return a static string instead of filling the buffer.
  return strerror_r(error, buffer.data(), buffer.size());
}

std::string isoDate(std::int32_t plistSeconds, std::int32_t microseconds) {
  std::time_t unixSeconds = static_cast<std::time_t>(plistSeconds + kPlistEpochOffset);
  std::tm utc{};
  gmtime_r(&unixSeconds, &utc);
  std::array<char, 40> text{};
  std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &utc);
  std::string result(text.data(), length);
  if (microseconds != 0) {
    std::array<char, 16> fraction{};
    std::snprintf(fraction.data(), fraction.size(), ".%06d", std::abs(microseconds));
    result += fraction.data();
  }
  return result + "Z";
}

// libplist 2.2 keeps integers as 64 bits without a public sign flag: a value with the
// top bit set is negative unless the file wrote it as a large unsigned number.
Json integerValue(plist_t node) {
  std::uint64_t value = 0;
  plist_get_uint_val(node, &value);
  if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return static_cast<std::int64_t>(value);
  }
  char* xml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(node, &xml, &length);
  bool negative =
      xml != nullptr && std::string_view(xml, length).find("<integer>-") != std::string_view::npos;
  if (xml != nullptr) plist_to_xml_free(xml);
  if (negative) return static_cast<std::int64_t>(value);
  return value;
}

Json toJson(plist_t node, int depth) {
  // Deeper nesting than this only comes from a hostile file; stop before the stack does.
  if (node == nullptr || depth > 256) return nullptr;
  switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
      Json object = Json::object();
      plist_dict_iter iterator = nullptr;
      plist_dict_new_iter(node, &iterator);
      if (iterator == nullptr) return object;
      while (true) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, iterator, &key, &value);
        CHandle<char, std::free> ownedKey(key);
        if (value == nullptr) break;
        object[key != nullptr ? key : ""] = toJson(value, depth + 1);
      }
      std::free(iterator);
      return object;
    }
    case PLIST_ARRAY: {
      Json array = Json::array();
      std::uint32_t size = plist_array_get_size(node);
      for (std::uint32_t index = 0; index < size; ++index) {
        array.push_back(toJson(plist_array_get_item(node, index), depth + 1));
      }
      return array;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      std::uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      return text != nullptr ? std::string(text, length) : std::string();
    }
    case PLIST_BOOLEAN: {
      std::uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return value != 0;
    }
    case PLIST_UINT:
      return integerValue(node);
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      // JSON has no NaN or infinity; nlohmann would write them as null anyway.
      if (!std::isfinite(value)) return nullptr;
      return value;
    }
    case PLIST_DATE: {
      std::int32_t seconds = 0;
      std::int32_t microseconds = 0;
      plist_get_date_val(node, &seconds, &microseconds);
      return isoDate(seconds, microseconds);
    }
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* data = plist_get_data_ptr(node, &length);
      return base64Encode(data != nullptr ? std::string_view(data, length) : std::string_view());
    }
    case PLIST_UID: {
      std::uint64_t value = 0;
      plist_get_uid_val(node, &value);
      return value;
    }
    case PLIST_NONE:
    default:
      return nullptr;
  }
}

std::optional<Json> readInfoPlist(const std::string& path) {
  auto contents = files::readAll(path, kMaxInfoPlistSize);
  const std::string* text = std::get_if<std::string>(&contents);
  if (text == nullptr || text->empty()) return std::nullopt;
  plist_t root = nullptr;
  plist_from_memory(text->data(), static_cast<std::uint32_t>(text->size()), &root);
  PlistPtr owned(root);
  if (root == nullptr) return std::nullopt;
  try {
    return toJson(root, 0);
  } catch (const std::exception&) {
    return std::nullopt;  // allocation failure: treat the file as unreadable
  }
}

}  // namespace

LinuxBundle::LinuxBundle(std::string bundlePath)
    : bundlePath_(std::move(bundlePath)),
      info_(readInfoPlist(bundlePath_ + "/Contents/Info.plist")) {}

std::shared_ptr<LinuxBundle> LinuxBundle::main() {
  std::array<char, 4096> buffer{};
  ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (length <= 0) return nullptr;
  std::string path(buffer.data(), static_cast<std::size_t>(length));
  // Strip the executable, then MacOS, then Contents.
  for (int level = 0; level < 3; ++level) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return nullptr;
    path.resize(slash);
  }
  if (path.empty()) path = "/";
  return std::make_shared<LinuxBundle>(path);
}

std::optional<std::string> LinuxBundle::pathForResource(const std::string& name,
                                                        const std::string& type) const {
  if (name.empty()) return std::nullopt;
  std::string relative = type.empty() ? name : name + "." + type;
  // A name that climbs out of Resources is not a resource of this bundle.
  if (relative.front() == '/' || ("/" + relative + "/").find("/../") != std::string::npos) {
    return std::nullopt;
  }
  std::string path = bundlePath_ + "/Contents/Resources/" + relative;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return path;
}

std::variant<std::string, ReadError> LinuxBundle::contentsOfFile(const std::string& path) const {
  auto contents = files::readAll(path, std::numeric_limits<std::size_t>::max());
  if (const int* error = std::get_if<int>(&contents)) {
    return ReadError{path + ": " + errnoText(*error)};
  }
  return std::move(std::get<std::string>(contents));
}

}  // namespace qv
