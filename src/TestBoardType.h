#pragma once

#include "CommonDef.h"

int ValidateBoardType(int *boardType);
// The same rules on any file; ValidateBoardType reads the board's settings file.
int ValidateBoardTypeFile(const char *path, int *boardType);
void TestBoardType(stRecvPkt *recvPkt, stResponsePkt *respPkt);
