#include "TestUSB.h"

// Not built yet.
