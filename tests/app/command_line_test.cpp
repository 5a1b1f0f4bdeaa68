#include "command_line.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <sstream>

#include "import_reasons.h"

namespace {

TEST(ImportReason, EachProblemHasItsOwnWordsAndNewOnesAGeneralText) {
  std::set<std::string> seen;
  for (int kind = static_cast<int>(ImportProblem::kCannotOpen);
       kind <= static_cast<int>(ImportProblem::kCompressionFailed); ++kind) {
    const std::string reason = importReason({static_cast<ImportProblem>(kind), 3});
    EXPECT_TRUE(seen.insert(reason).second) << "said twice: " << reason;
  }
  EXPECT_EQ(importReason({ImportProblem::kNotEightBits, 24}),
            "24 bits per pixel, only 8-bit pictures can be stored");
  EXPECT_EQ(importReason({ImportProblem::kCannotOpen, 0}, ENOENT),
            "cannot be opened (No such file or directory)");
  const std::string unknown = importReason({static_cast<ImportProblem>(99), 5});
  EXPECT_NE(unknown.find("cannot be used"), std::string::npos) << unknown;
}

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome run(const std::vector<std::string>& arguments) {
  std::ostringstream out;
  std::ostringstream err;
  int status = runCommandLine(arguments, out, err);
  return {status, out.str(), err.str()};
}

TEST(CommandLine, DoubleDashLetsAFileNameStartWithADash) {
  Outcome dashed = run({"show", "--", "-odd name.z4k"});
  EXPECT_EQ(dashed.status, kExitFailed);
  EXPECT_EQ(dashed.err.rfind("divovod: -odd name.z4k: cannot be opened", 0), 0u) << dashed.err;
  Outcome option = run({"show", "-odd name.z4k"});
  EXPECT_EQ(option.status, kExitUsage);
  EXPECT_EQ(option.err.rfind("divovod: unknown option -odd name.z4k\nusage:", 0), 0u) << option.err;
}

TEST(CommandLine, PositionTakesANegativeNumberAsItsValue) {
  Outcome result = run({"build", "-e", "none-e.bmp", "-t", "none-t.bmp", "-l", "none-l.bmp", "-p",
                        "-2147483648", "-n", "-name-", "-s", "s", "-o", "out.z4k"});
  EXPECT_EQ(result.status, kExitFailed) << result.err;  // the pictures are missing, nothing else
  EXPECT_EQ(result.err,
            "divovod: none-e.bmp: cannot be opened (No such file or directory)\n"
            "divovod: none-t.bmp: cannot be opened (No such file or directory)\n"
            "divovod: none-l.bmp: cannot be opened (No such file or directory)\n");
  EXPECT_EQ(result.out, "");
}

}  // namespace
