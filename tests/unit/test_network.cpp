// Network tests against a recorded platform and a temporary /etc: the address validator, the
// ping output reader, the Ethernet and Wi-Fi commands and the files they leave behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "FakePlatform.h"
#include "Platform.h"
#include "TempDir.h"
#include "TestEthernet.h"
#include "TestWifi.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

const std::string kDefaultSupplicant =
    "ctrl_interface=/var/run/wpa_supplicant\n"
    "ctrl_interface_group=root\n"
    "eapol_version=1\n"
    "ap_scan=1\n"
    "fast_reauth=1\n"
    "update_config=1\n"
    "\n";

std::string ReadAll(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteAll(const fs::path &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string PskBlock(const std::string &ssid, const std::string &passphrase) {
    return "network={ \n \tssid=\"" + ssid + "\"\n\tkey_mgmt=WPA-PSK\n\tpsk=\"" + passphrase +
           "\"\n}\n";
}

std::string OpenBlock(const std::string &ssid) {
    return "network={ \n \tssid=\"" + ssid + "\"\n\tkey_mgmt=NONE\n}\n";
}

class NetworkUnit : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.path().empty());
        dir_ = folder_.path();
        interfaces_ = (dir_ / "interfaces").string();
        supplicant_ = (dir_ / "wpa_supplicant.conf").string();
        EthernetSetInterfacesPath(interfaces_.c_str());
        WifiSetSupplicantConfPath(supplicant_.c_str());
        wifiConnectedState = 0;
    }

    void TearDown() override {
        EthernetSetInterfacesPath(nullptr);
        WifiSetSupplicantConfPath(nullptr);
        wifiConnectedState = 0;
    }

    support::FakePlatform board_;  // the ping pipeline prints anyOutput
    support::TempDir folder_{"tvk-net"};
    fs::path dir_;
    std::string interfaces_;
    std::string supplicant_;
};

// ---- isValidIp4 -------------------------------------------------------------------------------

struct Ip4Case {
    const char *text;
    int valid;
    Bytes ipAfter;  // `ip` after the call, from {9, 9, 9, 9}
};

void PrintTo(const Ip4Case &c, std::ostream *out) {
    *out << '"' << c.text << '"';
}

class ValidIp4 : public ::testing::TestWithParam<Ip4Case> {};

TEST_P(ValidIp4, ResultAndOctetsLeftInIp) {
    const Ip4Case &c = GetParam();
    std::memset(ip, 9, sizeof ip);
    char text[32] = {};
    std::snprintf(text, sizeof text, "%s", c.text);
    EXPECT_EQ(isValidIp4(text), c.valid);
    char octets[4] = {};
    getIpaddress(octets);
    EXPECT_EQ(Bytes(octets, octets + 4), c.ipAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ValidIp4,
    ::testing::Values(
        Ip4Case{"192.168.1.10", 1, {192, 168, 1, 10}}, Ip4Case{"10.1.0.0", 1, {10, 1, 0, 0}},
        Ip4Case{"255.255.255.255", 1, {255, 255, 255, 255}},
        // A second octet of 0 is an ordinary address.
        Ip4Case{"10.0.0.1", 1, {10, 0, 0, 1}}, Ip4Case{"10.0.77.20", 1, {10, 0, 77, 20}},
        Ip4Case{"01.02.03.04", 1, {1, 2, 3, 4}}, Ip4Case{"001.2.3.4", 1, {1, 2, 3, 4}},
        Ip4Case{"0.0.0.0", 0, {0, 0, 0, 0}}, Ip4Case{"0.1.2.3", 0, {0, 1, 2, 3}},
        // Out of range is refused, never wrapped; the segment is not stored.
        Ip4Case{"192.168.1.300", 0, {192, 168, 1, 9}},
        Ip4Case{"192.168.1.256", 0, {192, 168, 1, 9}}, Ip4Case{"256.1.1.1", 0, {9, 9, 9, 9}},
        Ip4Case{"257.1.1.1", 0, {9, 9, 9, 9}}, Ip4Case{"1.2.3.0255", 0, {1, 2, 3, 9}},
        Ip4Case{"1.2.3", 0, {1, 2, 3, 9}}, Ip4Case{"1.2.3.4.5", 0, {1, 2, 3, 9}},
        Ip4Case{"1..2.3", 0, {1, 9, 9, 9}}, Ip4Case{".1.2.3", 0, {9, 9, 9, 9}},
        Ip4Case{"1.2.3.", 0, {1, 2, 3, 0}}, Ip4Case{"", 0, {0, 9, 9, 9}},
        Ip4Case{" 1.2.3.4", 0, {9, 9, 9, 9}}, Ip4Case{"1.2.3.4\n", 0, {1, 2, 3, 9}},
        Ip4Case{"1.2.3.-4", 0, {1, 2, 3, 9}}, Ip4Case{"1.2.3.4a", 0, {1, 2, 3, 9}}));

TEST(ValidIp4Null, NullIsInvalidAndLeavesIpAlone) {
    std::memset(ip, 7, sizeof ip);
    EXPECT_EQ(isValidIp4(nullptr), 0);
    EXPECT_EQ(Bytes(ip, ip + 4), (Bytes{7, 7, 7, 7}));
}

TEST(InterfaceAddress, LoopbackReadsBackAndAMissingInterfaceGivesNoText) {
    char text[20];
    std::memset(text, 'x', sizeof text);
    GetInterfaceIpaddress("lo", text);
    EXPECT_STREQ(text, "127.0.0.1");
    std::memset(text, 'x', sizeof text);
    GetInterfaceIpaddress("tvknosuch0", text);
    EXPECT_EQ(std::string(text, sizeof text), std::string(20, '\0'));
}

// ---- ping output -----------------------------------------------------------------------------

struct PingCase {
    const char *name;
    const char *output;
    int found;
    int ms;
};

const char kBusyboxAll[] =
    "PING 10.0.0.1 (10.0.0.1): 56 data bytes\n"
    "64 bytes from 10.0.0.1: seq=0 ttl=64 time=0.081 ms\n"
    "64 bytes from 10.0.0.1: seq=1 ttl=64 time=7.900 ms\n"
    "64 bytes from 10.0.0.1: seq=2 ttl=64 time=0.123 ms\n"
    "\n"
    "--- 10.0.0.1 ping statistics ---\n"
    "3 packets transmitted, 3 packets received, 0% packet loss\n"
    "round-trip min/avg/max = 0.081/2.701/7.900 ms\n";
const char kIputilsAll[] =
    "PING 10.0.0.1 (10.0.0.1) 56(84) bytes of data.\n"
    "64 bytes from 10.0.0.1: icmp_seq=1 ttl=64 time=0.045 ms\n"
    "64 bytes from 10.0.0.1: icmp_seq=2 ttl=64 time=250 ms\n"
    "64 bytes from 10.0.0.1: icmp_seq=3 ttl=64 time=12.3 ms\n"
    "\n"
    "--- 10.0.0.1 ping statistics ---\n"
    "3 packets transmitted, 3 received, 0% packet loss, time 2003ms\n"
    "rtt min/avg/max/mdev = 0.045/87.449/250.000/115.123 ms\n";
const char kBusyboxNoReply[] =
    "PING 10.0.77.250 (10.0.77.250): 56 data bytes\n"
    "\n"
    "--- 10.0.77.250 ping statistics ---\n"
    "3 packets transmitted, 0 packets received, 100% packet loss\n";
const char kIputilsUnreachable[] =
    "PING 10.0.0.5 (10.0.0.5) 56(84) bytes of data.\n"
    "From 10.0.0.2 icmp_seq=1 Destination Host Unreachable\n"
    "From 10.0.0.2 icmp_seq=2 Destination Host Unreachable\n"
    "From 10.0.0.2 icmp_seq=3 Destination Host Unreachable\n"
    "\n"
    "--- 10.0.0.5 ping statistics ---\n"
    "3 packets transmitted, 0 received, +3 errors, 100% packet loss, time 2040ms\n"
    "pipe 3\n";
const char kIputilsReplyThenUnreachable[] =
    "PING 10.0.0.5 (10.0.0.5) 56(84) bytes of data.\n"
    "64 bytes from 10.0.0.5: icmp_seq=1 ttl=64 time=3.4 ms\n"
    "From 10.0.0.2 icmp_seq=2 Destination Host Unreachable\n"
    "From 10.0.0.2 icmp_seq=3 Destination Host Unreachable\n"
    "\n"
    "--- 10.0.0.5 ping statistics ---\n"
    "3 packets transmitted, 1 received, +2 errors, 66.6667% packet loss, time 2010ms\n"
    "rtt min/avg/max/mdev = 3.400/3.400/3.400/0.000 ms\n";

void PrintTo(const PingCase &c, std::ostream *out) {
    *out << c.name;
}

class PingOutput : public ::testing::TestWithParam<PingCase> {};

TEST_P(PingOutput, LastReplyTimeInWholeMilliseconds) {
    const PingCase &c = GetParam();
    int ms = -7;
    EXPECT_EQ(ParsePingReplyTime(c.output, &ms), c.found);
    EXPECT_EQ(ms, c.found == 1 ? c.ms : -7) << "untouched without a reply";
}

INSTANTIATE_TEST_SUITE_P(
    Table, PingOutput,
    ::testing::Values(
        PingCase{"busybox_whole", kBusyboxAll, 1, 0}, PingCase{"iputils_whole", kIputilsAll, 1, 12},
        PingCase{"busybox_line", "64 bytes from 10.0.0.1: seq=2 ttl=64 time=0.123 ms\n", 1, 0},
        PingCase{"iputils_line", "64 bytes from 10.0.0.1: icmp_seq=3 ttl=64 time=12.3 ms\n", 1, 12},
        PingCase{"no_line_end", "64 bytes from 10.0.0.1: seq=2 ttl=64 time=1234.567 ms", 1, 1234},
        PingCase{"whole_ms", "64 bytes from 10.0.0.1: icmp_seq=1 ttl=64 time=250 ms\n", 1, 250},
        PingCase{"duplicate", "64 bytes from 10.0.0.1: seq=0 ttl=64 time=5.5 ms (DUP!)\n", 1, 5},
        PingCase{"reply_then_unreachable", kIputilsReplyThenUnreachable, 1, 3},
        PingCase{"busybox_no_reply", kBusyboxNoReply, 0, 0},
        PingCase{"iputils_unreachable", kIputilsUnreachable, 0, 0},
        PingCase{"unreachable_line", "From 10.0.0.2 icmp_seq=1 Destination Host Unreachable\n", 0,
                 0},
        PingCase{"empty", "", 0, 0}, PingCase{"no_ping", "sh: 1: ping: not found\n", 0, 0},
        PingCase{"header_only", "PING 10.0.0.1 (10.0.0.1): 56 data bytes\n", 0, 0},
        PingCase{"bare_number", "12.3\n", 0, 0},
        PingCase{"summary_only", "round-trip min/avg/max = 0.081/2.701/7.900 ms\n", 0, 0},
        PingCase{"no_digits", "64 bytes from 10.0.0.1: seq=0 ttl=64 time= ms\n", 0, 0},
        PingCase{"not_a_number", "64 bytes from 10.0.0.1: seq=0 ttl=64 time=.5 ms\n", 0, 0},
        PingCase{"no_unit", "64 bytes from 10.0.0.1: seq=0 ttl=64 time=0.5\n", 0, 0},
        PingCase{"too_long", "64 bytes from 10.0.0.1: seq=0 ttl=64 time=12345678901 ms\n", 0, 0}),
    [](const ::testing::TestParamInfo<PingCase> &info) { return info.param.name; });

TEST_F(NetworkUnit, PingRunsOnePipelineOnTheAddressAndPassesOnAReply) {
    board_.anyOutput = "64 bytes from 10.0.77.1: seq=2 ttl=64 time=1234.5 ms\n";
    stRecvPkt request{};
    stResponsePkt response{};
    const uint8_t target[] = {10, 0, 77, 1};
    std::memcpy(request.data, target, sizeof target);
    TestEthernetPing(&request, &response);
    EXPECT_EQ(board_.commands, (Lines{"ping -c 3 10.0.77.1 | grep 'time=' | tail -n 1"}));
    EXPECT_EQ(response.ack, 0);
    EXPECT_EQ(response.length, 4);
    EXPECT_EQ(Bytes(response.data, response.data + 4), (Bytes{0, 0, 4, 210}));

    board_.commands.clear();
    response = stResponsePkt{};
    const uint8_t high[] = {192, 168, 255, 254};
    std::memcpy(request.data, high, sizeof high);
    TestWifiPing(&request, &response);
    EXPECT_EQ(board_.commands, (Lines{"ping -c 3 192.168.255.254 | grep 'time=' | tail -n 1"}));
    EXPECT_EQ(response.ack, 0);
}

TEST_F(NetworkUnit, PingFailsWithoutAReplyOrWithoutAPipe) {
    for (bool pipeFails : {false, true}) {
        SCOPED_TRACE(pipeFails ? "no pipe" : "no reply");
        board_.pipeFails = pipeFails;
        board_.anyOutput = "";
        stRecvPkt request{};
        stResponsePkt response{};
        request.data[0] = 10;
        request.data[3] = 9;
        TestWifiPing(&request, &response);
        EXPECT_EQ(response.ack, 1);
        EXPECT_EQ(response.length, 1);
        EXPECT_EQ(response.data[0], 5);
    }
}

TEST_F(NetworkUnit, PingRoutineRunsNothingForATextThatIsNoAddress) {
    int ms = -1;
    char hostile[] = "1.2.3.4;reboot";
    char empty[] = "";
    EXPECT_EQ(EthernetPingTest(hostile, &ms), 0);
    EXPECT_EQ(EthernetPingTest(empty, &ms), 0);
    EXPECT_TRUE(board_.commands.empty());
    EXPECT_EQ(ms, -1);
}

// ---- Ethernet configuration ------------------------------------------------------------------

TEST_F(NetworkUnit, StaticPathRunsAddressAndRouteCommandsAndLeavesTheFileAlone) {
    WriteAll(interfaces_, "old\n");
    unsigned char info[13] = {1, 192, 168, 1, 50, 255, 255, 255, 0, 192, 168, 1, 1};
    EthernetUpdateConfig(info);
    EXPECT_EQ(board_.commands,
              (Lines{"ifconfig wlan0 down", "ifconfig eth0 192.168.1.50 netmask 255.255.255.0",
                     "route add default gw 192.168.1.1 eth0"}));
    EXPECT_EQ(ReadAll(interfaces_), "old\n");
}

TEST_F(NetworkUnit, DhcpPathWritesThe31BytesBeforeTheStartScriptRuns) {
    const std::string dhcp = "auto eth0\niface eth0 inet dhcp\n";
    for (unsigned char flag : {0, 2, 255}) {
        SCOPED_TRACE(static_cast<int>(flag));
        board_.commands.clear();
        WriteAll(interfaces_, std::string(300, '#') + "\n");
        chmod(interfaces_.c_str(), 0640);
        std::string seenByScript;
        board_.onRun = [&](const std::string &command) {
            if (command == "/etc/init.d/S30-network start") seenByScript = ReadAll(interfaces_);
        };
        unsigned char info[13] = {flag};
        EthernetUpdateConfig(info);
        EXPECT_EQ(
            board_.commands,
            (Lines{"ifconfig wlan0 down", "ifconfig wlan0 down", "/etc/init.d/S30-network start",
                   "ifconfig eth0 0.0.0.0 up", "udhcpc -n -q eth0  >> /dev/null 2>&1"}));
        EXPECT_EQ(seenByScript, dhcp);
        EXPECT_EQ(ReadAll(interfaces_), dhcp);
        EXPECT_EQ(dhcp.size(), 31u);
        struct stat info2;
        ASSERT_EQ(stat(interfaces_.c_str(), &info2), 0);
        EXPECT_EQ(info2.st_mode & 07777, 0640u) << "the file keeps its mode";
        EXPECT_FALSE(fs::exists(interfaces_ + ".tmp"));
    }
}

TEST_F(NetworkUnit, DhcpPathStillRunsItsCommandsWhenTheFileCannotBeWritten) {
    const std::string missing = (dir_ / "no-such-dir" / "interfaces").string();
    EthernetSetInterfacesPath(missing.c_str());
    unsigned char info[13] = {0};
    EthernetUpdateConfig(info);
    EXPECT_EQ(board_.commands.size(), 5u);
    EXPECT_FALSE(fs::exists(missing));
}

// ---- durable file writes ---------------------------------------------------------------------

TEST_F(NetworkUnit, AFailedReplaceLeavesTheOldFileWhole) {
    const std::string path = (dir_ / "file").string();
    WriteAll(path, "old contents\n");
    fs::create_directory(path + ".tmp");  // the temporary file cannot be made
    EXPECT_EQ(WriteFileAtomically(path.c_str(), "new\n", 4, 0644), 0);
    EXPECT_EQ(ReadAll(path), "old contents\n");

    fs::remove(path + ".tmp");
    EXPECT_EQ(WriteFileAtomically(path.c_str(), "new\n", 4, 0644), 1);
    EXPECT_EQ(ReadAll(path), "new\n");
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

TEST_F(NetworkUnit, NewFilesGetTheGivenModeAndAppendsAddUp) {
    const std::string path = (dir_ / "made").string();
    EXPECT_EQ(AppendFileDurably(path.c_str(), "ab", 2, 0600), 1);
    EXPECT_EQ(AppendFileDurably(path.c_str(), "cd", 2, 0644), 1);
    EXPECT_EQ(ReadAll(path), "abcd");
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    const std::string missing = (dir_ / "none" / "x").string();
    EXPECT_EQ(AppendFileDurably(missing.c_str(), "ab", 2, 0600), 0);
}

// ---- Wi-Fi configuration ---------------------------------------------------------------------

struct WifiCase {
    const char *name;
    uint8_t flag;
    std::string text;
    bool accepted;
    std::string block;  // appended when accepted
};

void PrintTo(const WifiCase &c, std::ostream *out) {
    *out << c.name;
}

class WifiRequest : public NetworkUnit, public ::testing::WithParamInterface<WifiCase> {};

TEST_P(WifiRequest, SplitsTheTextOrRefusesItUntouched) {
    const WifiCase &c = GetParam();
    WriteAll(supplicant_, kDefaultSupplicant);
    unsigned char data[PKT_DATA_SIZE] = {c.flag, 0};
    ASSERT_LE(c.text.size(), 117u);
    std::memcpy(data + 2, c.text.data(), c.text.size());
    const auto length = static_cast<unsigned char>(2 + c.text.size());

    const int result = ConfigWifi(data, length);
    if (c.accepted) {
        EXPECT_EQ(ReadAll(supplicant_), kDefaultSupplicant + c.block);
        EXPECT_EQ(board_.commands,
                  (Lines{"ifconfig eth0 down", "ifconfig wlan0 down", "/hwtest/wifi.sh"}));
    } else {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(ReadAll(supplicant_), kDefaultSupplicant);
        EXPECT_TRUE(board_.commands.empty());
    }
}

TEST_F(NetworkUnit, WifiPassphraseNeverReachesTheLog) {
    WriteAll(supplicant_, kDefaultSupplicant);
    const std::string text = "LabNet;tvk-secret-42";
    unsigned char data[PKT_DATA_SIZE] = {1, 0};
    std::memcpy(data + 2, text.data(), text.size());
    ::testing::internal::CaptureStderr();
    ConfigWifi(data, static_cast<unsigned char>(2 + text.size()));
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("LabNet"), std::string::npos) << log;
    EXPECT_EQ(log.find("tvk-secret-42"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Table, WifiRequest,
    ::testing::Values(
        WifiCase{"psk", 1, "LabNet;secret-pass", true, PskBlock("LabNet", "secret-pass")},
        WifiCase{"second_separator_ends_the_passphrase", 1, "LabNet;pass1234;rest", true,
                 PskBlock("LabNet", "pass1234")},
        WifiCase{"what_follows_is_ignored_even_if_unsafe", 1, "LabNet;pass1234;\"\\\n", true,
                 PskBlock("LabNet", "pass1234")},
        WifiCase{"leading_separator_empty_ssid", 1, ";passphrase", true,
                 PskBlock("", "passphrase")},
        WifiCase{"any_nonzero_flag_is_psk", 200, "A;Bpassword", true, PskBlock("A", "Bpassword")},
        WifiCase{"open_keeps_separators", 0, "Cafe;Bar", true, OpenBlock("Cafe;Bar")},
        WifiCase{"open_no_text", 0, "", true, OpenBlock("")},
        WifiCase{"utf8_ssid", 1, "Caf\xc3\xa9;secret-pass", true,
                 PskBlock("Caf\xc3\xa9", "secret-pass")},
        WifiCase{"ssid_32", 1, std::string(32, 's') + ";passphrase", true,
                 PskBlock(std::string(32, 's'), "passphrase")},
        WifiCase{"passphrase_8", 1, "n;" + std::string(8, 'p'), true,
                 PskBlock("n", std::string(8, 'p'))},
        WifiCase{"passphrase_63", 1, "n;" + std::string(63, 'p'), true,
                 PskBlock("n", std::string(63, 'p'))},
        WifiCase{"open_ssid_32", 0, std::string(32, 'o'), true, OpenBlock(std::string(32, 'o'))},
        WifiCase{"ssid_33", 1, std::string(33, 's') + ";passphrase", false, ""},
        // The client rejects the whole file for a passphrase under 8 characters.
        WifiCase{"passphrase_7", 1, "n;" + std::string(7, 'p'), false, ""},
        WifiCase{"trailing_separator_empty_passphrase", 1, "LabNet;", false, ""},
        WifiCase{"no_text_psk", 1, "", false, ""},
        WifiCase{"no_separator_psk", 1, "justapassphrase", false, ""},
        WifiCase{"passphrase_64", 1, "n;" + std::string(64, 'p'), false, ""},
        WifiCase{"no_separator_passphrase_64", 1, std::string(64, 'p'), false, ""},
        WifiCase{"open_ssid_33", 0, std::string(33, 'o'), false, ""},
        WifiCase{"quote_in_ssid", 1, "Lab\"Net;pass", false, ""},
        WifiCase{"backslash_in_ssid", 1, "Lab\\Net;pass", false, ""},
        WifiCase{"newline_in_ssid", 1, "Lab\nNet;pass", false, ""},
        WifiCase{"tab_in_ssid", 1, "Lab\tNet;pass", false, ""},
        WifiCase{"nul_in_ssid", 1, std::string("Lab\0Net;pass", 12), false, ""},
        WifiCase{"del_in_passphrase", 1, "LabNet;pa\x7fss", false, ""},
        WifiCase{"quote_in_passphrase", 1, "LabNet;pa\"ss", false, ""},
        WifiCase{"newline_in_passphrase", 1, "LabNet;pass\n}", false, ""},
        WifiCase{"quote_in_open_ssid", 0, "Cafe\"", false, ""},
        WifiCase{"backslash_in_open_ssid", 0, "Cafe\\", false, ""}),
    [](const ::testing::TestParamInfo<WifiCase> &info) { return info.param.name; });

TEST_F(NetworkUnit, EveryBlockEndsWithALineEndSoTheNextStartsOnItsOwnLine) {
    WriteAll(supplicant_, kDefaultSupplicant);
    std::string text1 = "One;passphrase1";
    std::string text2 = "Two";
    unsigned char data[PKT_DATA_SIZE] = {1, 0};
    std::memcpy(data + 2, text1.data(), text1.size());
    ConfigWifi(data, static_cast<unsigned char>(2 + text1.size()));
    std::memset(data, 0, sizeof data);
    std::memcpy(data + 2, text2.data(), text2.size());
    ConfigWifi(data, static_cast<unsigned char>(2 + text2.size()));
    EXPECT_EQ(ReadAll(supplicant_),
              kDefaultSupplicant + PskBlock("One", "passphrase1") + OpenBlock("Two"));
}

TEST_F(NetworkUnit, NoStartScriptWhenTheFileCannotBeOpened) {
    const std::string missing = (dir_ / "no-such-dir" / "wpa_supplicant.conf").string();
    WifiSetSupplicantConfPath(missing.c_str());
    char ssid[] = "LabNet";
    char keyMgmt[] = "WPA-PSK";
    char passphrase[] = "secret-pass";
    EXPECT_EQ(WifiConfig(ssid, keyMgmt, passphrase), 0);
    EXPECT_EQ(board_.commands, (Lines{"ifconfig eth0 down", "ifconfig wlan0 down"}));
}

TEST_F(NetworkUnit, AFailedConfigurationLeavesTheStateAlone) {
    char hostWlan[20];
    GetInterfaceIpaddress("wlan0", hostWlan);
    if (hostWlan[0] != '\0') GTEST_SKIP() << "this host's wlan0 has an address";
    // No address to read back from wlan0: the test fails and the state stays.
    stRecvPkt request{};
    stResponsePkt response{};
    request.data[0] = 0;
    request.length = 2;
    for (unsigned char state : {0, 1}) {
        wifiConnectedState = state;
        TestWifiConfiguration(&request, &response);
        EXPECT_EQ(response.ack, 1);
        EXPECT_EQ(wifiConnectedState, state);
    }
}

// ---- Wi-Fi stop ------------------------------------------------------------------------------

TEST_F(NetworkUnit, StopWithoutAConfigurationRunsNothingAndFails) {
    const std::string kept = kDefaultSupplicant + OpenBlock("Kept");
    WriteAll(supplicant_, kept);
    stRecvPkt request{};
    stResponsePkt response{};
    TestWifiStop(&request, &response);
    EXPECT_EQ(response.ack, 1);
    EXPECT_EQ(response.data[0], 5);
    EXPECT_TRUE(board_.commands.empty());
    EXPECT_EQ(ReadAll(supplicant_), kept);
}

TEST_F(NetworkUnit, StopEndsTheClientsAndPutsTheDefaultFileBack) {
    WriteAll(supplicant_, kDefaultSupplicant + PskBlock("LabNet", "secret-pass"));
    chmod(supplicant_.c_str(), 0600);
    wifiConnectedState = 1;
    stRecvPkt request{};
    stResponsePkt response{};
    TestWifiStop(&request, &response);
    EXPECT_EQ(response.ack, 0);
    EXPECT_EQ(response.length, 0);
    EXPECT_EQ(wifiConnectedState, 0);
    EXPECT_EQ(board_.commands, (Lines{"kill $(pidof wpa_supplicant)", "killall -SIGUSR2 udhcpc"}));
    EXPECT_EQ(ReadAll(supplicant_), kDefaultSupplicant);
    EXPECT_EQ(kDefaultSupplicant.size(), 122u);
    struct stat info;
    ASSERT_EQ(stat(supplicant_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_FALSE(fs::exists(supplicant_ + ".tmp"));

    // A second stop has nothing to stop.
    board_.commands.clear();
    TestWifiStop(&request, &response);
    EXPECT_EQ(response.ack, 1);
    EXPECT_TRUE(board_.commands.empty());
}

TEST_F(NetworkUnit, StopPassesEvenWhenTheDefaultFileCannotBeWritten) {
    const std::string missing = (dir_ / "no-such-dir" / "wpa_supplicant.conf").string();
    WifiSetSupplicantConfPath(missing.c_str());
    wifiConnectedState = 1;
    EXPECT_EQ(StopWIFIConfiguration(), 1);
    EXPECT_EQ(wifiConnectedState, 0);
    EXPECT_EQ(board_.commands.size(), 2u);
}

}  // namespace
