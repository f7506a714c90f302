// glidewarper: bends the pitch of live audio to follow melodies from files.
#include "console.h"
#include "driver.h"

int main() {
  // Keys typed while the program works stay unechoed until a prompt takes them.
  keyInputHold();
  return runProgram();
}
