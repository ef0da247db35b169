#include "TestWifi.h"

#include <cstdio>
#include <cstring>

#include "Log.h"
#include "Platform.h"
#include "TestEthernet.h"

namespace {

constexpr char kSupplicantConfPath[] = "/etc/wpa_supplicant.conf";
constexpr char kEthDownCommand[] = "ifconfig eth0 down";
constexpr char kWifiStartCommand[] = "/hwtest/wifi.sh";
constexpr char kStopClientCommand[] = "kill $(pidof wpa_supplicant)";
constexpr char kReleaseLeaseCommand[] = "killall -SIGUSR2 udhcpc";
constexpr char kKeyMgmtPsk[] = "WPA-PSK";
constexpr char kKeyMgmtNone[] = "NONE";

constexpr char ssid[128] = "network={ \n \tssid=";
constexpr char key_mgmt[16] = "key_mgmt=";
constexpr char psk[16] = "psk=";
constexpr char supplicant_conf[123] =
    "ctrl_interface=/var/run/wpa_supplicant\n"
    "ctrl_interface_group=root\n"
    "eapol_version=1\n"
    "ap_scan=1\n"
    "fast_reauth=1\n"
    "update_config=1\n"
    "\n";
static_assert(sizeof supplicant_conf == 123 && supplicant_conf[121] == '\n');

// Every block ends in a line feed, so the next one starts on a line of its own.
constexpr char kPskBlockFormat[] = "%s%c%s%c\n\t%s%s\n\t%s%c%s%c\n%c\n";
constexpr char kOpenBlockFormat[] = "%s%c%s%c\n\t%s%s\n%c\n";

constexpr int BLOCK_SIZE = 256;

const char *gSupplicantConfPath = kSupplicantConfPath;

// The client reads the texts between double quotes without escapes: a quote, a backslash or a
// control byte would end the string early or break the block.
bool IsSafeWifiText(const unsigned char *text, int length, int limit) {
    if (length > limit) return false;
    for (int i = 0; i < length; ++i) {
        const unsigned char c = text[i];
        if (c == '"' || c == '\\' || c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

bool IsSafeWifiString(const char *text, int limit) {
    const std::size_t length = std::strlen(text);
    return length <= static_cast<std::size_t>(limit) &&
           IsSafeWifiText(reinterpret_cast<const unsigned char *>(text), static_cast<int>(length),
                          limit);
}

}  // namespace

const char interfacewlan0[6] = "wlan0";
unsigned char wifiConnectedState = 0;

void WifiSetSupplicantConfPath(const char *path) {
    gSupplicantConfPath = path != nullptr ? path : kSupplicantConfPath;
}

int ConfigWifi(unsigned char *Info, unsigned char length) {
    char Nssid[WIFI_SSID_MAX + 1] = {};
    char Kkey_mgmt[16] = {};
    char Ppsk[WIFI_PASSPHRASE_MAX + 1] = {};
    if (length > MAX_BODY_LENGTH) return 0;

    // The text runs from request byte 2 to byte L-1.
    const unsigned char *text = Info + 2;
    const int textLength = length > 2 ? length - 2 : 0;
    const unsigned char *ssidStart = text;
    int ssidLength = 0;
    const unsigned char *pskStart = text;
    int pskLength = 0;
    if (Info[0] != 0) {
        std::snprintf(Kkey_mgmt, sizeof Kkey_mgmt, "%s", kKeyMgmtPsk);
        // SSID up to the first ';', passphrase up to the second or the end. Without a ';'
        // there is no network to name.
        const void *first = std::memchr(text, ';', static_cast<std::size_t>(textLength));
        if (first == nullptr) {
            LOG_DEBUG("Wi-Fi text refused: WPA text without ';'");
            return 0;
        }
        ssidLength = static_cast<int>(static_cast<const unsigned char *>(first) - text);
        pskStart = text + ssidLength + 1;
        const int rest = textLength - static_cast<int>(pskStart - text);
        const void *second = std::memchr(pskStart, ';', static_cast<std::size_t>(rest));
        pskLength = second != nullptr
                        ? static_cast<int>(static_cast<const unsigned char *>(second) - pskStart)
                        : rest;
    } else {
        std::snprintf(Kkey_mgmt, sizeof Kkey_mgmt, "%s", kKeyMgmtNone);
        ssidLength = textLength;  // a ';' belongs to an open network's name
    }
    if (!IsSafeWifiText(ssidStart, ssidLength, WIFI_SSID_MAX) ||
        !IsSafeWifiText(pskStart, pskLength, WIFI_PASSPHRASE_MAX) ||
        (Info[0] != 0 && pskLength < WIFI_PASSPHRASE_MIN)) {
        LOG_DEBUG("Wi-Fi text refused: SSID of %d bytes, passphrase of %d", ssidLength, pskLength);
        return 0;
    }
    std::memcpy(Nssid, ssidStart, static_cast<std::size_t>(ssidLength));
    std::memcpy(Ppsk, pskStart, static_cast<std::size_t>(pskLength));
    // The passphrase is a secret: the log shows that there is one, never what it is.
    const char *shownPsk = pskLength > 0 ? "***" : "";
    if (Info[0] != 0) LOG_DEBUG("%s \n length %d ", shownPsk, length);

    LOG_DEBUG("ssid %s ", Nssid);
    LOG_DEBUG("Key_mgmt %s ", Kkey_mgmt);
    LOG_DEBUG("Ppsk %s ", shownPsk);
    WifiConfig(Nssid, Kkey_mgmt, Ppsk);

    char readBack[IPV4_TEXT_SIZE] = {};
    GetInterfaceIpaddress(interfacewlan0, readBack);
    return isValidIp4(readBack);
}

int WifiConfig(char *Nssid, char *Kkey_mgmt, char *Ppsk) {
    const bool wpa = std::strcmp(Kkey_mgmt, kKeyMgmtNone) != 0;
    if (!IsSafeWifiString(Nssid, WIFI_SSID_MAX) || !IsSafeWifiString(Ppsk, WIFI_PASSPHRASE_MAX) ||
        (wpa && std::strlen(Ppsk) < static_cast<std::size_t>(WIFI_PASSPHRASE_MIN))) {
        return 0;
    }
    PlatformRunCommand(kEthDownCommand);
    PlatformRunCommand(WLAN_DOWN_COMMAND);

    char block[BLOCK_SIZE] = {};
    int size = 0;
    if (wpa) {
        size = std::snprintf(block, sizeof block, kPskBlockFormat, ssid, '"', Nssid, '"', key_mgmt,
                             kKeyMgmtPsk, psk, '"', Ppsk, '"', '}');
    } else {
        size = std::snprintf(block, sizeof block, kOpenBlockFormat, ssid, '"', Nssid, '"', key_mgmt,
                             kKeyMgmtNone, '}');
    }
    if (size < 0 || size >= static_cast<int>(sizeof block)) return 0;
    // On storage before the start script has the client read it, and replaced whole: a power
    // cut leaves the old file, never half a block. It may hold a key, so a file made here is
    // for root alone.
    if (AppendFileDurably(gSupplicantConfPath, block, static_cast<std::size_t>(size), 0600) != 1) {
        LOG_DEBUG("could not append to %s", gSupplicantConfPath);
        return 0;
    }
    PlatformRunCommand(kWifiStartCommand, PLATFORM_LIMIT_WIFI_START_SECONDS);
    return 0;
}

void TestWifiConfiguration(stRecvPkt *recvPkt, stResponsePkt *respPkt) {
    if (ConfigWifi(recvPkt->data, recvPkt->length) == 1) {
        char address[4] = {};
        getIpaddress(address);
        for (int i = 0; i < 4; ++i) respPkt->data[i] = static_cast<uint8_t>(address[i]);
        SetPassResponse(respPkt, 4);
        LOG_INFO("WIFI config test success\n");
        wifiConnectedState = 1;
    } else {
        SetFailResponse(respPkt);
        LOG_INFO("WIFI config test fail\n");
    }
}

int StopWIFIConfiguration() {
    if (wifiConnectedState != 1) return 0;
    PlatformRunCommand(kStopClientCommand);
    PlatformRunCommand(kReleaseLeaseCommand);
    wifiConnectedState = 0;
    if (WriteFileAtomically(gSupplicantConfPath, supplicant_conf, sizeof supplicant_conf - 1,
                            0600) != 1) {
        LOG_DEBUG("could not rewrite %s", gSupplicantConfPath);
    }
    return 1;
}

void TestWifiStop(stRecvPkt *, stResponsePkt *respPkt) {
    if (StopWIFIConfiguration() == 1) {
        SetPassResponse(respPkt, 0);
        LOG_INFO("WIFI stop test success\n");
    } else {
        SetFailResponse(respPkt);
        LOG_INFO("WIFI stop test fail\n");
    }
}

void TestWifiPing(stRecvPkt *recvPkt, stResponsePkt *respPkt) {
    if (PingTestResponse(recvPkt, respPkt) == 1) {
        LOG_INFO("WIFI ping Test success\n");
    } else {
        LOG_INFO("WIFI ping Test fail\n");
    }
}
