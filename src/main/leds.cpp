// PLACEHOLDER until the LED commands land.
#include "qb40tool.h"

void EnableLampTest(INT8U) {}
void TurnOnAllStatusLEDs() {}
void TurnOnAllActivityLEDs() {}
void TurnOffAllLEDs() {}
void DisableLampTest(INT8U) {}
