#pragma once

#include "CommonDef.h"

int ChangeTime(unsigned char *DataBuffer);
int ConvertMonthStringToDecimal(char *Buffer);
void current_HWTime(int *day, int *month, int *year, int *hour, int *miniute);
void TestRTCCurTime(stRecvPkt *recvPkt, stResponsePkt *respPkt);
void TestRTCGetCurTime(stRecvPkt *recvPkt, stResponsePkt *respPkt);

// Reads the clock's answer, either "Fri Mar 15 09:05:00 2024" or "2024-03-15 09:05:00...".
// Writes each value it finds; returns 1 only when all five were found.
int ParseHWClockAnswer(const char *answer, int *day, int *month, int *year, int *hour, int *minute);
// As current_HWTime, and returns 1 only when the clock answered with all five values.
int ReadHWTime(int *day, int *month, int *year, int *hour, int *minute);
