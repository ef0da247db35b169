#include "TestMacAddr.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "UniqueFd.h"

namespace {

constexpr char MAC_ADDRESS_FILE[] = "/sys/class/net/eth0/address";
// Output bytes cleared before a conversion and logged after it.
constexpr int MAC_HEX_SIZE = 12;
constexpr unsigned char MAC_SEPARATOR = ':';
constexpr uint8_t MAC_RESPONSE_LENGTH = 11;

// strtol on one or two characters alone, so a group never runs into its neighbour.
unsigned char ConvertGroup(const unsigned char *text, int count) {
    char group[3] = {};
    for (int k = 0; k < count; ++k) group[k] = static_cast<char>(text[k]);
    long value = std::strtol(group, nullptr, 16);
    LOG_DEBUG("%lx", static_cast<unsigned long>(value));
    return static_cast<unsigned char>(value & 0xFF);
}

}  // namespace

void MacAsciitoHex(const unsigned char *mac, unsigned char *Hexbuff) {
    const int length = static_cast<int>(std::strlen(reinterpret_cast<const char *>(mac)));
    int i = 0;
    int j = 0;
    while (i + 1 < length) {
        if (mac[i] == MAC_SEPARATOR) {
            Hexbuff[j] = MAC_SEPARATOR;
            LOG_DEBUG("%c", Hexbuff[j]);
            i += 1;
        } else if (mac[i + 1] == MAC_SEPARATOR) {
            Hexbuff[j] = ConvertGroup(mac + i, 1);
            i += 1;
        } else {
            Hexbuff[j] = ConvertGroup(mac + i, 2);
            i += 2;
        }
        ++j;
    }
    Hexbuff[j] = 0;
    for (int k = 0; k < MAC_HEX_SIZE; ++k) LOG_DEBUG("MAC address is %x", Hexbuff[k]);
}

int MacAddress(char *buff) {
    UniqueFile file(std::fopen(MAC_ADDRESS_FILE, "r"));
    if (!file) return 0;
    // An empty file still counts as read; the caller cleared the buffer.
    IgnoreResult(std::fgets(buff, MAC_TEXT_SIZE, file.get()));
    LOG_DEBUG("macAddress %s", buff);
    return 1;
}

int GetMacaddress(unsigned char *macAddress) {
    char text[MAC_TEXT_SIZE] = {};
    std::memset(macAddress, 0, MAC_HEX_SIZE);
    if (MacAddress(text) == 0) return 0;
    MacAsciitoHex(reinterpret_cast<const unsigned char *>(text), macAddress);
    return 1;
}

void TestMacAddr(stRecvPkt *, stResponsePkt *respPkt) {
    if (GetMacaddress(respPkt->data) == 1) {
        SetPassResponse(respPkt, MAC_RESPONSE_LENGTH);
        LOG_INFO("MAC Test Success\n");
    } else {
        SetFailResponse(respPkt);
        LOG_INFO("MAC Test fail\n");
    }
}
