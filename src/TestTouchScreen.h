#pragma once

#include <ctime>

#include "CommonDef.h"

int ValidateTouchScreen(int *xAxis, int *yAxis);
// Reads input events from `fd` until an ABS_Y follows an ABS_X (1, both set) or the touch
// window that began at `start` is over, or a read fails (0).
int WaitForTouch(int fd, time_t start, int *xAxis, int *yAxis);
void TestTouchScreen(stRecvPkt *recvPkt, stResponsePkt *respPkt);
