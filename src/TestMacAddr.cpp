#include "TestMacAddr.h"

// Not built yet.
