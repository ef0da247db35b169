#pragma once

#include "CommonDef.h"

int LCDTest();
void TestLCD(stRecvPkt *recvPkt, stResponsePkt *respPkt);
