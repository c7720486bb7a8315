#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace qv::files {

// A name that stays inside its folder: not empty, not "." or "..", no '/' and no NUL.
bool isPlainFileName(std::string_view name);

// Replaces `path` with `contents` so that a crash at any moment leaves either the old
// file or the new one whole, never a mix or a truncated file: writes all of it to a
// temporary file beside it (mode `mode`), fsyncs that file, renames it over `path` and
// fsyncs the folder. False when any step fails; the temporary file is then removed and
// `path` is as it was.
bool writeAtomically(const std::string& path, std::string_view contents, mode_t mode = 0600);

// The whole file, or the errno of what failed: EISDIR for a folder, EFBIG for a file
// larger than `maxSize` bytes.
std::variant<std::string, int> readAll(const std::string& path, std::size_t maxSize);
// The whole file; absent when readAll fails.
std::optional<std::string> read(const std::string& path, std::size_t maxSize);

// Which file a path named when it was looked at: a file replaced by another (moved
// aside, renamed over) compares unequal.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool exists() const { return inode != 0; }
  bool operator==(const FileIdentity&) const = default;
};
// Absent (inode 0) when `path` names nothing.
FileIdentity identityOf(const std::string& path);

// Renames `path` beside itself to `path` + `suffix`, or, when that name is taken,
// `path` + `suffix` + "-2", "-3", … (never replacing a file). The new path; absent when
// the rename fails.
std::optional<std::string> moveAside(const std::string& path, const std::string& suffix);

// The folder part of `path` ("." for a bare name, "/" for a file at the root).
std::string directoryOf(const std::string& path);
// The part after the last '/'.
std::string fileNameOf(const std::string& path);

}  // namespace qv::files
