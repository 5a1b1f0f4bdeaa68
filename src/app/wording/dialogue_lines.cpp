#include "dialogue_lines.h"

#include <zlib.h>

namespace {

const char* compressionLine(long long status) {
  switch (status) {
    case Z_BUF_ERROR:
      return "Buffer error\n";
    case Z_MEM_ERROR:
      return "Memory error\n";
    case Z_STREAM_ERROR:
      return "Stream error\n";
    default:
      return nullptr;
  }
}

}  // namespace

const char* dialogueLine(const ImportOutcome& outcome) {
  switch (outcome.problem) {
    case ImportProblem::kNone:
      return "Compression OK\n";
    case ImportProblem::kCannotOpen:
      return "Couldn't open file\n";
    case ImportProblem::kOutOfMemory:
      return "Memory error\n";
    case ImportProblem::kCompressionFailed:
      return compressionLine(outcome.detail);
    default:
      return "Bad file!\n";
  }
}
