#include "TestEthernet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "Log.h"
#include "Platform.h"
#include "UniqueFd.h"

namespace {

constexpr char kInterfacesPath[] = "/etc/network/interfaces";
constexpr char kInterfacesDhcp[] = "auto eth0\niface eth0 inet dhcp\n";
constexpr char kStaticAddressFormat[] = "ifconfig eth0 %s netmask %s";
constexpr char kStaticRouteFormat[] = "route add default gw %s eth0";
constexpr char kNetworkStartCommand[] = "/etc/init.d/S30-network start";
constexpr char kClearAddressCommand[] = "ifconfig eth0 0.0.0.0 up";
constexpr char kDhcpCommand[] = "udhcpc -n -q eth0  >> /dev/null 2>&1";
// Only reply lines carry "time="; the last one is the figure reported.
constexpr char kPingFormat[] = "ping -c 3 %s | grep 'time=' | tail -n 1";

constexpr int COMMAND_SIZE = 256;
constexpr int PING_LINE_SIZE = 256;
// Nine digits always fit an int; a longer time is no ping reply.
constexpr int PING_MS_MAX_DIGITS = 9;

const char *gInterfacesPath = kInterfacesPath;

bool IsAddressText(const char *text) {
    const std::size_t length = std::strlen(text);
    if (length == 0 || length >= IPV4_TEXT_SIZE) return false;
    for (std::size_t i = 0; i < length; ++i) {
        if ((text[i] < '0' || text[i] > '9') && text[i] != '.') return false;
    }
    return true;
}

// "time=" then a number with an optional fraction, then "ms"; the integer part is the figure.
bool ReplyLineTime(std::string_view line, int *ms) {
    if (line.find("bytes from") == std::string_view::npos) return false;
    const std::size_t at = line.find("time=");
    if (at == std::string_view::npos) return false;
    std::size_t pos = at + 5;
    long value = 0;
    int digits = 0;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') {
        if (++digits > PING_MS_MAX_DIGITS) return false;
        value = value * 10 + (line[pos] - '0');
        ++pos;
    }
    if (digits == 0) return false;
    if (pos < line.size() && line[pos] == '.') {
        ++pos;
        while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') ++pos;
    }
    while (pos < line.size() && line[pos] == ' ') ++pos;
    if (line.substr(pos, 2) != "ms") return false;
    *ms = static_cast<int>(value);
    return true;
}

}  // namespace

char ip[4];
char ethip[IPV4_TEXT_SIZE];
const char interface[5] = "eth0";

void EthernetSetInterfacesPath(const char *path) {
    gInterfacesPath = path != nullptr ? path : kInterfacesPath;
}

// Four runs of 1 to 3 digits, each at most 255, single dots, first octet not 0. Each completed
// run is stored in `ip` as it is parsed, also when the text turns out invalid.
int isValidIp4(char *str) {
    if (str == nullptr) return 0;
    int segs = 0;
    int chcnt = 0;
    int accum = 0;
    int cpyIpcount = 0;
    for (const char *p = str; *p != '\0'; ++p) {
        if (*p == '.') {
            if (chcnt == 0) return 0;
            if (++segs == 4) return 0;
            ip[cpyIpcount++] = static_cast<char>(accum);
            accum = 0;
            chcnt = 0;
        } else if (*p >= '0' && *p <= '9') {
            accum = accum * 10 + (*p - '0');
            if (++chcnt > 3 || accum > 255) return 0;
        } else {
            return 0;
        }
    }
    ip[cpyIpcount] = static_cast<char>(accum);
    return segs == 3 && chcnt != 0 && ip[0] != 0 ? 1 : 0;
}

void GetInterfaceIpaddress(const char *interfaceName, char *text) {
    std::memset(text, 0, IPV4_TEXT_SIZE);
    UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) return;
    ifreq request;
    std::memset(&request, 0, sizeof request);
    request.ifr_addr.sa_family = AF_INET;
    std::strncpy(request.ifr_name, interfaceName, IFNAMSIZ - 1);
    // No such interface or no IPv4 address: the text stays empty and fails validation.
    if (ioctl(sock.get(), SIOCGIFADDR, &request) != 0) return;
    sockaddr_in address;
    std::memcpy(&address, &request.ifr_addr, sizeof address);
    if (inet_ntop(AF_INET, &address.sin_addr, text, IPV4_TEXT_SIZE) == nullptr) {
        std::memset(text, 0, IPV4_TEXT_SIZE);
    }
}

void getIpaddress(char *getip) {
    for (int i = 0; i < 4; ++i) getip[i] = ip[i];
}

void Ip4Text(const unsigned char *octets, char *text, std::size_t size) {
    std::snprintf(text, size, "%d.%d.%d.%d", octets[0], octets[1], octets[2], octets[3]);
}

int EthernetUpdateConfig(unsigned char *Info) {
    char address[IPV4_TEXT_SIZE] = {};
    char netmask[IPV4_TEXT_SIZE] = {};
    char gateway[IPV4_TEXT_SIZE] = {};
    Ip4Text(Info + 1, address, sizeof address);
    Ip4Text(Info + 5, netmask, sizeof netmask);
    Ip4Text(Info + 9, gateway, sizeof gateway);
    const int flag = Info[0];

    LOG_DEBUG("DHCP State : %d \n TVK IP : %s", flag, address);
    LOG_DEBUG("Subnet mask : %s", netmask);
    LOG_DEBUG("Gateway : %s", gateway);
    LOG_DEBUG("Disable Wlan down");
    PlatformRunCommand(WLAN_DOWN_COMMAND);

    if (flag == 1) {
        char addressCommand[COMMAND_SIZE] = {};
        char routeCommand[COMMAND_SIZE] = {};
        LOG_DEBUG("setting  ip subnet adress ip:%s\t,subnet mask:%s", address, netmask);
        std::snprintf(addressCommand, sizeof addressCommand, kStaticAddressFormat, address,
                      netmask);
        LOG_DEBUG("final command for setting ip subnetmask:%s", addressCommand);
        PlatformRunCommand(addressCommand);
        LOG_DEBUG("setting the gateway:%s", gateway);
        std::snprintf(routeCommand, sizeof routeCommand, kStaticRouteFormat, gateway);
        LOG_DEBUG("final command for setting gw:%s", routeCommand);
        PlatformRunCommand(routeCommand);
    } else {
        // Replaced in one step: the start script never finds the file missing or half written.
        if (WriteFileAtomically(gInterfacesPath, kInterfacesDhcp, sizeof kInterfacesDhcp - 1,
                                0644) != 1) {
            LOG_DEBUG("could not write %s", gInterfacesPath);
        }
        LOG_DEBUG("Disable Wlan down");
        PlatformRunCommand(WLAN_DOWN_COMMAND);
        PlatformRunCommand(kNetworkStartCommand, PLATFORM_LIMIT_DHCP_SECONDS);
        // Only a lease may pass: an address left from a static set-up must not read back.
        PlatformRunCommand(kClearAddressCommand);
        PlatformRunCommand(kDhcpCommand, PLATFORM_LIMIT_DHCP_SECONDS);
    }

    char readBack[IPV4_TEXT_SIZE] = {};
    GetInterfaceIpaddress(interface, readBack);
    LOG_DEBUG("Set IP :%s %d", address, static_cast<int>(std::strlen(address)));
    LOG_DEBUG("Get IP :%s %d", readBack, static_cast<int>(std::strlen(readBack)));

    std::memset(ethip, 0, sizeof ethip);
    std::memcpy(ethip, readBack, sizeof readBack);
    ethip[sizeof ethip - 1] = '\0';
    if (isValidIp4(ethip) != 1) return 0;
    if (flag == 0) return 1;
    return std::strcmp(ethip, address) == 0 ? 1 : 0;
}

void TestEthernetConfiguration(stRecvPkt *recvPkt, stResponsePkt *respPkt) {
    if (EthernetUpdateConfig(recvPkt->data) == 1) {
        for (int i = 0; i < 4; ++i) respPkt->data[i] = static_cast<uint8_t>(ip[i]);
        SetPassResponse(respPkt, 4);
        LOG_INFO("Ethernet config success\n");
    } else {
        SetFailResponse(respPkt);
        LOG_INFO("Ethernet config fail\n");
    }
}

int ParsePingReplyTime(const char *output, int *ms) {
    if (output == nullptr) return 0;
    std::string_view rest(output);
    bool found = false;
    int last = 0;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        int value = 0;
        if (ReplyLineTime(line, &value)) {
            found = true;
            last = value;
        }
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    if (found) *ms = last;
    return found ? 1 : 0;
}

int EthernetPingTest(char *ip, int *sec) {
    LOG_DEBUG("IP address %s ", ip);
    // Only an address text goes to the shell.
    if (!IsAddressText(ip)) {
        LOG_DEBUG("Sending NAK");
        return 0;
    }
    char PingAdd[COMMAND_SIZE] = {};
    std::snprintf(PingAdd, sizeof PingAdd, kPingFormat, ip);
    LOG_DEBUG("PING address %s ", PingAdd);

    char list[PING_LINE_SIZE] = {};
    const int opened = PlatformReadFirstLine(PingAdd, list, sizeof list, PLATFORM_LIMIT_PING_SECONDS);
    LOG_DEBUG("list = %s", list);
    int value = 0;
    if (opened != 1 || ParsePingReplyTime(list, &value) != 1) {
        LOG_DEBUG("Sending NAK");
        return 0;
    }
    LOG_DEBUG("Sending ACK");
    *sec = value;
    LOG_DEBUG("timeout %d ", value);
    return 1;
}

int PingTestResponse(const stRecvPkt *recvPkt, stResponsePkt *respPkt) {
    char address[IPV4_TEXT_SIZE] = {};
    Ip4Text(recvPkt->data, address, sizeof address);
    int ms = 0;
    if (EthernetPingTest(address, &ms) != 1) {
        SetFailResponse(respPkt);
        return 0;
    }
    const uint32_t value = static_cast<uint32_t>(ms);
    respPkt->data[0] = static_cast<uint8_t>(value >> 24);
    respPkt->data[1] = static_cast<uint8_t>(value >> 16);
    respPkt->data[2] = static_cast<uint8_t>(value >> 8);
    respPkt->data[3] = static_cast<uint8_t>(value);
    SetPassResponse(respPkt, 4);
    return 1;
}

void TestEthernetPing(stRecvPkt *recvPkt, stResponsePkt *respPkt) {
    if (PingTestResponse(recvPkt, respPkt) == 1) {
        LOG_INFO("Ethernet ping success\n");
    } else {
        LOG_INFO("Ethernet ping fail\n");
    }
}
