#include <windows.h>

#include <filesystem>
#include <system_error>

#include "path_key.h"
#include "wide_text.h"

namespace fs = std::filesystem;

// NTFS and FAT compare names without regard to case: Caves.z4k and caves.z4k are one file, even
// before either exists. Upper case, as the file systems fold names, in the invariant locale.
std::string pathKey(const std::string& path) {
  std::error_code error;
  const fs::path absolute = fs::absolute(fs::path(widePath(path)), error);
  if (error) return path;
  fs::path resolved = fs::weakly_canonical(absolute, error);
  if (error) resolved = absolute.lexically_normal();
  std::wstring text = resolved.wstring();
  for (wchar_t& c : text) {
    if (c == L'/') c = L'\\';
  }
  if (!text.empty()) {
    LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(),
                  static_cast<int>(text.size()), text.data(), static_cast<int>(text.size()),
                  nullptr, nullptr, 0);
  }
  return utf8FromWide(text);
}
