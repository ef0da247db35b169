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

// The Wi-Fi limits: an SSID is at most 32 bytes, a WPA passphrase 8 to 63 characters (the
// client rejects the whole configuration file for one outside them).
constexpr int WIFI_SSID_MAX = 32;
constexpr int WIFI_PASSPHRASE_MIN = 8;
constexpr int WIFI_PASSPHRASE_MAX = 63;

// Where the Wi-Fi client's configuration lives; nullptr restores /etc/wpa_supplicant.conf.
void WifiSetSupplicantConfPath(const char *path);
