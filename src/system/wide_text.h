// Text for the wide calls of Windows: paths reach the libraries as UTF-8 and leave for the system
// as UTF-16; typed text comes in an 8-bit code page. For the Windows files only.
#pragma once

#include <string>

// Empty when the bytes are not text in that code page (an invalid UTF-8 name opens nothing).
std::wstring wideFromCodePage(unsigned codePage, const std::string& text);
inline std::wstring widePath(const std::string& utf8) { return wideFromCodePage(65001, utf8); }

std::string utf8FromWide(const std::wstring& wide);
