#pragma once

#include "CommonDef.h"

extern char ip[4];
extern char ethip[20];
extern const char interface[5];

int isValidIp4(char *str);
void GetInterfaceIpaddress(const char *interfaceName, char *text);
void getIpaddress(char *getip);
int EthernetUpdateConfig(unsigned char *Info);
void TestEthernetConfiguration(stRecvPkt *recvPkt, stResponsePkt *respPkt);
int EthernetPingTest(char *ip, int *sec);
void TestEthernetPing(stRecvPkt *recvPkt, stResponsePkt *respPkt);
