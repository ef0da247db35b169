#include "TestRTC.h"

// Not built yet.
