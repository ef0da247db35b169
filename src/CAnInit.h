#pragma once

#include "CommonDef.h"

extern int canFd;

int can_init(char *deviceName);
