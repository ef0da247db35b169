#include "TestBluetooth.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "Log.h"
#include "Platform.h"
#include "TestMacAddr.h"

namespace {

constexpr char BT_ADAPTER_UP_COMMAND[] = "hciconfig hci0 up";
// Only device lines (a tab, the address, a tab, the name) go on to the pattern: the scan's
// "Scanning ..." header must not match. The pattern goes in quoted, as one grep pattern; -e
// keeps a leading '-' from being an option.
constexpr char BT_SCAN_COMMAND_FORMAT[] =
    "hcitool scan | grep -E '^[[:space:]]*([[:xdigit:]]{2}:){5}[[:xdigit:]]{2}[[:space:]]' | "
    "grep -e %s | cut -f2";
constexpr char BT_RFCOMM_INSTALL_COMMAND[] = "cp ../config/rfcomm.conf /etc/bluetooth/rfcomm.conf";
constexpr unsigned BT_ADAPTER_SETTLE_SECONDS = 1;
constexpr int BT_ADDRESS_GROUPS = 6;
constexpr uint8_t BT_RESPONSE_LENGTH = 11;
// Quoting turns each character into at most four ("'\''"), plus the two outer quotes.
constexpr int BT_QUOTED_PATTERN_SIZE = 4 * PKT_DATA_SIZE + 3;
constexpr int BT_COMMAND_SIZE = sizeof BT_SCAN_COMMAND_FORMAT + BT_QUOTED_PATTERN_SIZE;

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// "XX:XX:XX:XX:XX:XX", hex digits, and nothing after it.
bool IsAddressText(const char *text) {
    for (int group = 0; group < BT_ADDRESS_GROUPS; ++group) {
        const char *p = text + group * 3;
        if (!IsHexDigit(p[0]) || !IsHexDigit(p[1])) return false;
        if (group + 1 < BT_ADDRESS_GROUPS && p[2] != ':') return false;
    }
    return text[MAC_TEXT_SIZE - 1] == '\0';
}

}  // namespace

int BluetoothTest(unsigned char *recdata, char *resdata) {
    const char *pattern = reinterpret_cast<const char *>(recdata);
    // An empty pattern names no device: nothing to scan for. A pattern filling the whole
    // request area has no end the fixture could have sent.
    const std::size_t patternLength = strnlen(pattern, PKT_DATA_SIZE);
    if (patternLength == 0 || patternLength == PKT_DATA_SIZE) {
        LOG_DEBUG("No device pattern to scan for");
        return 0;
    }

    char quoted[BT_QUOTED_PATTERN_SIZE] = {};
    if (!ShellQuote(pattern, quoted, sizeof quoted)) return 0;
    char command[BT_COMMAND_SIZE] = {};
    char destMacAddr[MAC_TEXT_SIZE] = {};

    PlatformRunCommand(BT_ADAPTER_UP_COMMAND);
    sleep(BT_ADAPTER_SETTLE_SECONDS);

    std::snprintf(command, sizeof command, BT_SCAN_COMMAND_FORMAT, quoted);
    LOG_DEBUG("Command is : %s ", command);
    if (PlatformReadFirstLine(command, destMacAddr, sizeof destMacAddr,
                              PLATFORM_LIMIT_BT_SCAN_SECONDS) == 1) {
        destMacAddr[sizeof destMacAddr - 1] = '\0';
        LOG_DEBUG("destMacAddr is : %s", destMacAddr);
    }
    if (!IsAddressText(destMacAddr)) {
        LOG_DEBUG("No device address in the scan's answer");
        return 0;
    }
    std::memcpy(resdata, destMacAddr, sizeof destMacAddr);
    return 1;
}

void InitBluetooth() {
    LOG_DEBUG("Copying rfcomm.conf to /etc/bluetooth/rfcomm.conf");
    PlatformRunCommand(BT_RFCOMM_INSTALL_COMMAND);
}

void TestBluetooth(stRecvPkt *recvPkt, stResponsePkt *respPkt) {
    char address[MAC_TEXT_SIZE] = {};
    if (BluetoothTest(recvPkt->data, address) == 1) {
        MacAsciitoHex(reinterpret_cast<const unsigned char *>(address), respPkt->data);
        SetPassResponse(respPkt, BT_RESPONSE_LENGTH);
        LOG_INFO("Bluettoth test success\n");
    } else {
        SetFailResponse(respPkt);
        LOG_INFO("Bluettoth test fail\n");
    }
}
