#pragma once

#include "CommonDef.h"

extern const char interfacewlan0[6];
extern unsigned char wifiConnectedState;

int ConfigWifi(unsigned char *Info, unsigned char length);
int WifiConfig(char *Nssid, char *Kkey_mgmt, char *Ppsk);
void TestWifiConfiguration(stRecvPkt *recvPkt, stResponsePkt *respPkt);
int StopWIFIConfiguration();
void TestWifiStop(stRecvPkt *recvPkt, stResponsePkt *respPkt);
void TestWifiPing(stRecvPkt *recvPkt, stResponsePkt *respPkt);
