// glidewarper: bends the pitch of live audio to follow melodies from files.
#include "driver.h"

int main() {
  return runProgram();
}
