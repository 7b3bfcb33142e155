#include "startup/CommandLine.h"

// Board discovery arrives with the board bring-up; until then no board is found.
void DiscoverBoard() {}
