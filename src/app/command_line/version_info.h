// What `divovod --version` prints: the project's version, and `git describe` of the checkout it
// was built from, when it was.
#pragma once

const char* programVersion();
