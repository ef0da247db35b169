#pragma once

#include "CommonDef.h"

void InitHapticDriver();
void SetHapticGpioPin();
void ClearHapticGpioPin();
int GetHapticDriverRunningState();
void SetHapticDriverRunningState();
void ReSetHapticDriverRunningState();
int PwmDutyCycleTest(unsigned char *data);
void TestHapticDriverStart(stRecvPkt *recvPkt, stResponsePkt *respPkt);
void TestHapticDriverStop(stRecvPkt *recvPkt, stResponsePkt *respPkt);
