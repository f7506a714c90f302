// The program's whole run: start-up, device choice, the loop over melody
// files, and the finish or the common error exit.
#pragma once

// Returns the exit status: 0 after the finish, -1 after a failure.
int runProgram();
