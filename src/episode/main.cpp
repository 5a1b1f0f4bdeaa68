#include <iostream>

int main() {
  std::cout << "divovod: the menu is not built yet.\n";
  return 0;
}
