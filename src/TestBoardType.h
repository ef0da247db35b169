#pragma once

#include "CommonDef.h"

int ValidateBoardType(int *boardType);
void TestBoardType(stRecvPkt *recvPkt, stResponsePkt *respPkt);
