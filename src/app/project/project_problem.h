// Where a file of settings (a manifest, the user's config) went wrong: the file, the line and the
// column, and what is wrong there, for a message that points at the very spot.
#pragma once

#include <string>

struct ProjectProblem {
  std::string file;
  int line = 0;  // 0: the file as a whole (it cannot be read, it is too large)
  int column = 0;
  std::string message;
};

// FILE:LINE:COLUMN: MESSAGE, or FILE: MESSAGE for the file as a whole.
std::string problemText(const ProjectProblem& problem);
