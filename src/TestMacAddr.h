#pragma once

#include "CommonDef.h"

// An address as text: six two-digit groups and five colons, plus the terminating NUL.
constexpr int MAC_TEXT_SIZE = 18;

void MacAsciitoHex(const unsigned char *mac, unsigned char *Hexbuff);
int MacAddress(char *buff);
int GetMacaddress(unsigned char *macAddress);
void TestMacAddr(stRecvPkt *recvPkt, stResponsePkt *respPkt);
