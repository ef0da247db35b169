#pragma once

#include "CommonDef.h"

int ChangeTime(unsigned char *DataBuffer);
int ConvertMonthStringToDecimal(char *Buffer);
void current_HWTime(int *day, int *month, int *year, int *hour, int *miniute);
void TestRTCCurTime(stRecvPkt *recvPkt, stResponsePkt *respPkt);
void TestRTCGetCurTime(stRecvPkt *recvPkt, stResponsePkt *respPkt);
