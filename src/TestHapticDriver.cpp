#include "TestHapticDriver.h"

// Not built yet.
void InitHapticDriver() {}
