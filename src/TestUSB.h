#pragma once

#include "CommonDef.h"

int USBTest(unsigned char *data);
// 1 when a file name stays under the stick's mount point (no ".." component), else 0.
int UsbNameAllowed(const char *name);
void USBinit();
void TestUSB(stRecvPkt *recvPkt, stResponsePkt *respPkt);
