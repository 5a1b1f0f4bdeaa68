#include <filesystem>
#include <system_error>

#include "path_key.h"

namespace fs = std::filesystem;

namespace {

constexpr int kMostLinksFollowed = 40;

// A symbolic link that leads nowhere yet is followed too: writing through it makes its target.
fs::path throughLinks(fs::path path) {
  std::error_code error;
  for (int hop = 0; hop < kMostLinksFollowed && fs::is_symlink(fs::symlink_status(path, error));
       ++hop) {
    const fs::path target = fs::read_symlink(path, error);
    if (error) break;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

}  // namespace

std::string pathKey(const std::string& path) {
  std::error_code error;
  const fs::path absolute = fs::absolute(fs::u8path(path), error);
  if (error) return path;
  const fs::path resolved = fs::weakly_canonical(throughLinks(absolute), error);
  return error ? absolute.lexically_normal().u8string() : resolved.u8string();
}
