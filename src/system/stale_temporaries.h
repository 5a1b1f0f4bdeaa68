// The temporary files a replacement leaves when its process is killed before it can tidy up
// (SIGKILL, a power cut, a Windows process ended from the task manager). Their names say which
// process made them: TARGET.PID-TICKS-ATTEMPT.tmp. The next replacement of the same target
// removes those whose process no longer runs; a running one may still be writing its own.
#pragma once

#include <string>

// True when `leaf`, a name in the target's folder, is a temporary file made for the target
// whose own name in that folder is `targetLeaf`; then `processId` is the process that made it.
bool isTemporaryFor(const std::string& targetLeaf, const std::string& leaf,
                    unsigned long long& processId);
