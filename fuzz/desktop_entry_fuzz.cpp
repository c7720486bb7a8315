// The companion rewrites its bundle's desktop entry (a file of the bundle) to start its
// own executable, which may sit at any path. The result is a desktop entry GLib reads,
// whose Exec line starts exactly that executable with the URL, and rewriting it again
// changes nothing. Input: the executable path, a NUL byte, then the entry's text.
#include <glib.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/linux/system/DesktopEntry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::size_t split = input.find('\0');
  if (split == std::string::npos) return 0;
  // Paths are absolute and NUL-free; the rest of the text is the entry.
  const std::string executable = "/" + input.substr(0, split);
  const std::string entry = input.substr(split + 1);
  std::optional<std::string> rewritten = qv::desktop::withExecutable(entry, executable);
  if (!rewritten) return 0;
  if (qv::desktop::withExecutable(*rewritten, executable) != rewritten) std::abort();

  GKeyFile* keys = g_key_file_new();
  GError* error = nullptr;
  // Entries GLib itself could not read before are no promise of ours.
  GKeyFile* original = g_key_file_new();
  const bool readable =
      g_key_file_load_from_data(original, entry.data(), entry.size(), G_KEY_FILE_NONE, nullptr);
  g_key_file_free(original);
  if (readable && g_utf8_validate(executable.data(), executable.size(), nullptr)) {
    if (!g_key_file_load_from_data(keys, rewritten->data(), rewritten->size(), G_KEY_FILE_NONE,
                                   &error)) {
      std::abort();
    }
    gchar* exec = g_key_file_get_string(keys, "Desktop Entry", "Exec", nullptr);
    gint argc = 0;
    gchar** argv = nullptr;
    if (!exec || !g_shell_parse_argv(exec, &argc, &argv, nullptr) || argc != 2 ||
        std::string(argv[1]) != "%u") {
      std::abort();
    }
    // The launcher turns %% back into %.
    std::string program;
    for (const char* c = argv[0]; *c != '\0'; ++c) {
      program += *c;
      if (*c == '%' && c[1] == '%') ++c;
    }
    if (program != executable) std::abort();
    g_strfreev(argv);
    g_free(exec);
  }
  g_clear_error(&error);
  g_key_file_free(keys);
  return 0;
}
