#include "dialogue.h"

int main() {
  DriverState state = startingState();
  return runMainLoop(state);
}
