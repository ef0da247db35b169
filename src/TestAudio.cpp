#include "TestAudio.h"

// Not built yet.
