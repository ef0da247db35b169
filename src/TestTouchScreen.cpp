#include "TestTouchScreen.h"

// Not built yet.
