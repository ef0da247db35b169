#include "TestEthernet.h"

// Not built yet.
