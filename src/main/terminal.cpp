// PLACEHOLDER until the terminal module lands.
#include "qb40tool.h"

int set_tty_raw() { return -1; }
int set_tty_cooked() { return 0; }
int getch() { return -1; }
int kbhit() { return 0; }
