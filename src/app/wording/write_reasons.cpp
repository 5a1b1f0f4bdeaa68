#include "write_reasons.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "file_identity.h"

namespace fs = std::filesystem;

namespace {

std::string folderOf(const fs::path& path) {
  const fs::path folder = path.parent_path();
  return folder.empty() ? std::string(".") : folder.u8string();
}

// What the path's own folder says: a missing folder is the commonest slip in a script.
std::string folderReason(const fs::path& path) {
  const std::string folder = folderOf(path);
  std::error_code error;
  const fs::file_status status = fs::status(fs::u8path(folder), error);
  if (!fs::exists(status)) return "the folder " + folder + " does not exist";
  if (!fs::is_directory(status)) return folder + " is not a folder";
  return std::string();
}

}  // namespace

std::string writeReason(const std::string& path, int writeError) {
  const fs::path target = fs::u8path(path);
  std::error_code error;
  const fs::file_status status = fs::status(target, error);
  if (fs::is_directory(status)) return "is a folder; give the name of a file to write";
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    return "is not a regular file (a device, a pipe or a socket); only a file is replaced";
  }
  std::string reason = folderReason(target);
  if (!reason.empty()) return reason;
  if (writeError == EACCES || writeError == EPERM) {
    return "permission denied: no new file can be made in the folder " + folderOf(target);
  }
  if (writeError != 0) return std::string("cannot be written (") + std::strerror(writeError) + ")";
  // A read-only file is replaced on POSIX (the folder decides) but refused on Windows.
  if (fs::exists(status) && (status.permissions() & fs::perms::owner_write) == fs::perms::none) {
    return "is read-only";
  }
  return "cannot be written";
}

namespace {

// "is the WHAT (NAME); it is never written over" when `output` and `file` are one file.
std::string sameFileReason(const std::string& output, const std::string& file, const char* what) {
  FileIdentity written;
  FileIdentity other;
  if (file.empty() || !identifyFile(output.c_str(), written) ||
      !identifyFile(file.c_str(), other) || !sameFile(written, other)) {
    return std::string();
  }
  return std::string("is the ") + what + " (" + file + "); it is never written over";
}

}  // namespace

std::string paletteFileReason(const std::string& output, const std::string& paletteFile) {
  return sameFileReason(output, paletteFile, "palette file");
}

std::string episodeWriteReason(const std::string& output, const std::string (&pictures)[3],
                               int writeError, const std::string& paletteFile,
                               const std::string& settingsFile) {
  const std::string palette = paletteFileReason(output, paletteFile);
  if (!palette.empty()) return palette;
  const std::string settings = sameFileReason(output, settingsFile, "config file");
  if (!settings.empty()) return settings;
  static const char* const kRoles[3] = {"episode image", "title image", "lowtitle image"};
  FileIdentity written;
  FileIdentity picture;
  const bool exists = identifyFile(output.c_str(), written);
  for (int i = 0; exists && i < 3; ++i) {
    if (identifyFile(pictures[i].c_str(), picture) && sameFile(written, picture)) {
      return std::string("is one of the pictures (the ") + kRoles[i] + " " + pictures[i] +
             "); it is never written over";
    }
  }
  return writeReason(output, writeError);
}
