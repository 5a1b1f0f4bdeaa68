#include "project_problem.h"

std::string problemText(const ProjectProblem& problem) {
  if (problem.line <= 0) return problem.file + ": " + problem.message;
  return problem.file + ":" + std::to_string(problem.line) + ":" + std::to_string(problem.column) +
         ": " + problem.message;
}
