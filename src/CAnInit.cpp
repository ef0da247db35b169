#include "CAnInit.h"

// Not built yet.
