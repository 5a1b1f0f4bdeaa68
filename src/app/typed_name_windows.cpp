#include <windows.h>

#include "typed_code_page.h"
#include "typed_name.h"
#include "wide_text.h"

std::string pathFromTypedName(const std::string& typed) {
  const std::string path = utf8FromWide(wideFromCodePage(typedCodePage(), typed));
  return path.empty() ? typed : path;
}
