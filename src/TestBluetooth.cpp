#include "TestBluetooth.h"

// Not built yet.
