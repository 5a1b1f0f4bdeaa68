// The boxed selection menu: a double-line frame 22 columns wide, a title row, a separator and one
// row per item. Up/Down (and the letters H/P, which share their key codes) move the highlight
// without wrapping; Enter chooses.
#pragma once

#include <cstdint>

struct MenuDescriptor {
  std::int16_t itemCount;        // 0 to 19
  std::int16_t highlightedItem;  // 1-based; out of range highlights nothing
  const char* texts[20];         // slot 0 the title, slot n item n; slots past itemCount unread
};

// runMenu's answer when the console keyboard is gone and no choice can ever be made.
constexpr std::int16_t kMenuNoKeyboard = INT16_MIN;

// Frame with its separator on the third row; height counts rows from the top border down to the
// bottom border, so the frame covers height + 1 rows.
void drawBox(std::int32_t column, std::int32_t row, std::int32_t width, std::int32_t height);

void drawMenu(const MenuDescriptor& menu, std::int16_t column, std::int16_t row);

// Works on its own copy; returns the highlighted item at the moment Enter is read.
std::int16_t runMenu(MenuDescriptor menu, std::int16_t column, std::int16_t row);
