// One key per file a path can name, for telling whether two paths are one file when the file
// need not exist yet (two outputs of one build): the absolute path with `.`, `..` and the
// symbolic links of its existing part resolved, and, where the file system ignores letter case
// (Windows), in one case. Paths that give the same key are one file; a file that exists is better
// told by its identity (file_identity.h), which sees hard links too.
#pragma once

#include <string>

// The key of a UTF-8 path; the path itself when it cannot be resolved.
std::string pathKey(const std::string& path);
