#pragma once

#include "CommonDef.h"

// The socket can_init opened; 0 until then, -1 when opening it failed.
extern int canFd;

// Opens the raw CAN socket on the named interface, binds it and admits no frames yet.
// Returns the handle, or -1. Opens at most one socket per process.
int can_init(char *deviceName);
