#pragma once

#include "CommonDef.h"

int ValidateTouchScreen(int *xAxis, int *yAxis);
void TestTouchScreen(stRecvPkt *recvPkt, stResponsePkt *respPkt);
