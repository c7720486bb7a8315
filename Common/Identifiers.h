#pragma once

namespace qv {

// Identifiers shared by both deliverables: they tie the companion and the extension to
// the same app-group store and keychain group.
inline constexpr const char* appGroupSuiteName = "K4ZT7P2QN8.group.com.quorvane.safari.extension";
inline constexpr const char* keychainService = "com.quorvane.safari.extension";
inline constexpr const char* keychainAccessGroup = "K4ZT7P2QN8.com.quorvane.safari.extension";

}  // namespace qv
