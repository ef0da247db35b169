#pragma once

#include "CommonDef.h"

int BluetoothTest(unsigned char *recdata, char *resdata);
void InitBluetooth();
void TestBluetooth(stRecvPkt *recvPkt, stResponsePkt *respPkt);
