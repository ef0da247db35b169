#include "TestBoardType.h"

// Not built yet.
