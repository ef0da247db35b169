#pragma once

#include "CommonDef.h"

int USBTest(unsigned char *data);
void USBinit();
void TestUSB(stRecvPkt *recvPkt, stResponsePkt *respPkt);
