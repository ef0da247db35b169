#include "TestLCD.h"

// Not built yet.
