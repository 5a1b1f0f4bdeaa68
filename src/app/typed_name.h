// File names as the user types them, turned into the paths the episode library takes: UTF-8 on
// Windows, the bytes as typed elsewhere. One backend per platform, picked by the build.
#pragma once

#include <string>

std::string pathFromTypedName(const std::string& typed);
