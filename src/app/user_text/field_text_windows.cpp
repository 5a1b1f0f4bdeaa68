#include <windows.h>

#include "field_text.h"
#include "typed_code_page.h"
#include "wide_text.h"

namespace {

// The text's bytes in the code page; false when a character has no byte there and would have
// become the default character ('?').
bool inCodePage(UINT codePage, const std::wstring& wide, std::string& bytes) {
  const int size = static_cast<int>(wide.size());
  BOOL usedDefault = FALSE;
  const int length = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), size, nullptr,
                                         0, nullptr, &usedDefault);
  if (length <= 0 || usedDefault) return false;
  bytes.assign(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide.data(), size, &bytes[0], length, nullptr,
                      &usedDefault);
  return !usedDefault;
}

// The first character (a surrogate pair counts as one) that the code page cannot hold.
std::string firstMissing(UINT codePage, const std::wstring& wide) {
  std::string ignored;
  for (std::size_t at = 0; at < wide.size();) {
    const bool pair = wide[at] >= 0xD800 && wide[at] < 0xDC00 && at + 1 < wide.size();
    const std::wstring character = wide.substr(at, pair ? 2 : 1);
    if (!inCodePage(codePage, character, ignored)) return utf8FromWide(character);
    at += character.size();
  }
  return std::string();
}

}  // namespace

bool fieldBytesFromArgument(const std::string& argument, std::string& bytes, std::string& problem) {
  const UINT codePage = typedCodePage();
  // UTF-8 (65001) takes every character, and the default-character report is not allowed for it.
  if (argument.empty() || codePage == CP_UTF8) {
    bytes = argument;
    return true;
  }
  const std::wstring wide = widePath(argument);
  if (inCodePage(codePage, wide, bytes)) return true;
  problem = "'" + firstMissing(codePage, wide) + "' cannot be stored: code page " +
            std::to_string(codePage) + ", the one the dialogue stores typed text in here, lacks it";
  return false;
}

bool argumentFromFieldBytes(const std::string& bytes, std::string& argument) {
  const UINT codePage = typedCodePage();
  argument = codePage == CP_UTF8 ? bytes : utf8FromWide(wideFromCodePage(codePage, bytes));
  if (argument.empty() != bytes.empty()) return false;
  std::string back;
  std::string problem;
  return fieldBytesFromArgument(argument, back, problem) && back == bytes;
}
