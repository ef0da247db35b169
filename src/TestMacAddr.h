#pragma once

#include "CommonDef.h"

void MacAsciitoHex(const unsigned char *mac, unsigned char *Hexbuff);
int MacAddress(char *buff);
int GetMacaddress(unsigned char *macAddress);
void TestMacAddr(stRecvPkt *recvPkt, stResponsePkt *respPkt);
