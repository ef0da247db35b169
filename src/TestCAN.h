#pragma once

#include "CommonDef.h"

struct thdata {
    int canFd;
};

int CANinit();
void *thcanreceive(void *ptr);
void thcansend(unsigned char *canData, void *ptr);
int canTestResultUpdation();
void TestCAN(stRecvPkt *recvPkt, stResponsePkt *respPkt);
