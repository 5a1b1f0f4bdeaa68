#include "protected_files.h"

FileIdentities protectedFiles(const std::string (&pictures)[3], const std::string& paletteFile) {
  FileIdentities identities;
  FileIdentity identity;
  for (const std::string& name : pictures) {
    if (!name.empty() && identifyFile(name.c_str(), identity)) identities.push_back(identity);
  }
  if (!paletteFile.empty() && identifyFile(paletteFile.c_str(), identity)) {
    identities.push_back(identity);
  }
  return identities;
}
