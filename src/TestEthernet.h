#pragma once

#include <sys/types.h>

#include <cstddef>

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

// Dotted-quad text of four octets (a 20-byte buffer is always enough).
void Ip4Text(const unsigned char *octets, char *text, std::size_t size);

// Milliseconds of the last echo reply in ping output (busybox or iputils); 1 when there is one.
int ParsePingReplyTime(const char *output, int *ms);

// Both ping handlers: pings the address in request bytes 0..3 and fills the response.
int PingTestResponse(const stRecvPkt *recvPkt, stResponsePkt *respPkt);

// Replaces `path` so that a power cut leaves either the old or the new contents, never a
// mix: temporary file in the same directory, fsync, rename, fsync of the directory.
// A new file gets `mode`; an existing one keeps its own. 1 on success.
int WriteFileAtomically(const char *path, const char *data, std::size_t size, mode_t mode);

// Appends by replacing the file whole (old contents and `data`) as WriteFileAtomically does, so
// a power cut leaves the old file or the new one, never half a record. 1 on success.
int AppendFileDurably(const char *path, const char *data, std::size_t size, mode_t mode);

// Where the DHCP path writes its interface file; nullptr restores /etc/network/interfaces.
void EthernetSetInterfacesPath(const char *path);
