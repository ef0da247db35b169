#include "TestWifi.h"

// Not built yet.
