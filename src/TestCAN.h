#pragma once

#include <pthread.h>

#include <atomic>

#include "CommonDef.h"

struct thdata {
    int canFd;
};

constexpr int CAN_DATA_REC_SIZE = 128;

extern char dev_name[5];
// The handle bring-up produced; -1 when it failed.
extern thdata descriptor;
extern pthread_t canreceive;
// Copy of the request in progress, all zero outside a test.
extern stRecvPkt canPkt;
// Matched reply: identifier byte, data length, data bytes, zeros.
extern char CANdataRec[CAN_DATA_REC_SIZE];
// 1 once CANdataRec holds a complete reply. Set with release, read with acquire.
extern std::atomic<int> canDataReceivedFlag;

int CANinit();
// Starts the receive thread on an open CAN handle (bring-up's last step; tests hand it a
// stand-in). 1 when the thread runs; only one is ever started.
int CANStartReceiver(thdata *handle);
void *thcanreceive(void *ptr);
void thcansend(unsigned char *canData, void *ptr);
int canTestResultUpdation();
void TestCAN(stRecvPkt *recvPkt, stResponsePkt *respPkt);
