#pragma once

#include <cstddef>

#include "CommonDef.h"

// An IPv4 address as text, "255.255.255.255" and its end, with room to spare.
constexpr int IPV4_TEXT_SIZE = 20;
// Both network tests take wlan0 down first.
constexpr char WLAN_DOWN_COMMAND[] = "ifconfig wlan0 down";

extern char ip[4];
extern char ethip[IPV4_TEXT_SIZE];
extern const char interface[5];

int isValidIp4(char *str);
void GetInterfaceIpaddress(const char *interfaceName, char *text);
void getIpaddress(char *getip);
int EthernetUpdateConfig(unsigned char *Info);
void TestEthernetConfiguration(stRecvPkt *recvPkt, stResponsePkt *respPkt);
int EthernetPingTest(char *ip, int *sec);
void TestEthernetPing(stRecvPkt *recvPkt, stResponsePkt *respPkt);

// Dotted-quad text of four octets (an IPV4_TEXT_SIZE buffer is always enough).
void Ip4Text(const unsigned char *octets, char *text, std::size_t size);

// Milliseconds of the last echo reply in ping output (busybox or iputils); 1 when there is one.
int ParsePingReplyTime(const char *output, int *ms);

// Both ping handlers: pings the address in request bytes 0..3 and fills the response.
int PingTestResponse(const stRecvPkt *recvPkt, stResponsePkt *respPkt);

// Where the DHCP path writes its interface file; nullptr restores /etc/network/interfaces.
void EthernetSetInterfacesPath(const char *path);
