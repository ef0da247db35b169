// Network tests end to end: the real agent on a board whose eth0 and wlan0 are wired to a lab
// network (sim/netlab) with a DHCP server, a host to ping and stand-in Wi-Fi access points.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "BoardHarness.h"

namespace {

namespace fs = std::filesystem;
using e2e::BoardOptions;
using e2e::BoardSandbox;
using fixture::Bytes;
using fixture::Status;

// The lab's fixed plan (see sim/netlab). Requests avoid the byte 60 in data and checksum: the
// transport takes a '<' for the start of a new frame.
const Bytes kServer = {10, 0, 77, 1};
const Bytes kEth0Lease = {10, 0, 77, 10};
const Bytes kWlan0Lease = {10, 0, 77, 20};
const Bytes kFree = {10, 0, 77, 250};
const Bytes kMask = {255, 255, 255, 0};

constexpr int kStartTimeoutMs = 90000;

constexpr uint8_t kEthernetConfig = 0x25;
constexpr uint8_t kEthernetPing = 0x26;
constexpr uint8_t kWifiConfig = 0x27;
constexpr uint8_t kWifiPing = 0x28;
constexpr uint8_t kWifiStop = 0x33;

const std::string kDefaultSupplicant =
    "ctrl_interface=/var/run/wpa_supplicant\n"
    "ctrl_interface_group=root\n"
    "eapol_version=1\n"
    "ap_scan=1\n"
    "fast_reauth=1\n"
    "update_config=1\n"
    "\n";
const std::string kDhcpInterfaces = "auto eth0\niface eth0 inet dhcp\n";
const std::string kOldInterfaces =
    "# written by an earlier image, longer than the DHCP text\n"
    "auto eth0\niface eth0 inet static\n\taddress 192.168.1.50\n\tnetmask 255.255.255.0\n";

const char kLabAccessPoints[] = "TVK-LAB\ttvk-lab-passphrase\nTVK-OPEN\t\n";
std::string FailFrame(const char *id) {
    return std::string("3C ") + id + " 23 03 23 01 3B 05 23 41 3E";
}

std::string PskBlock(const std::string &ssid, const std::string &passphrase) {
    return "network={ \n \tssid=\"" + ssid + "\"\n\tkey_mgmt=WPA-PSK\n\tpsk=\"" + passphrase +
           "\"\n}\n";
}

std::string OpenBlock(const std::string &ssid) {
    return "network={ \n \tssid=\"" + ssid + "\"\n\tkey_mgmt=NONE\n}\n";
}

Bytes EthernetRequest(uint8_t flag, const Bytes &address, const Bytes &mask = kMask,
                      const Bytes &gateway = kServer) {
    return support::Cat({{flag}, address, mask, gateway});
}

Bytes WifiRequest(uint8_t flag, const std::string &text) {
    Bytes data(2 + text.size(), 0);
    data[0] = flag;
    for (size_t i = 0; i < text.size(); ++i) data[2 + i] = static_cast<uint8_t>(text[i]);
    return data;
}

uint32_t BigEndian32(const Bytes &data) {
    return (uint32_t{data[0]} << 24) | (uint32_t{data[1]} << 16) | (uint32_t{data[2]} << 8) |
           data[3];
}

class Network : public ::testing::Test {
  protected:
    Network() : board_(Options()) {}

    static BoardOptions Options() {
        BoardOptions options;
        options.netSetup = std::string(TVK_SOURCE_DIR) + "/sim/netlab";
        return options;
    }

    void SetUp() override {
        board_.WriteFile("etc/wpa_supplicant.conf", kDefaultSupplicant);
        board_.WriteFile("etc/network/interfaces", kOldInterfaces);
        board_.WriteFile("simctl/wifi-ap", accessPoints_);
        // Network namespaces are made and torn down one at a time by the kernel: with many
        // boards starting and stopping at once, a lab can take a while to come up.
        ASSERT_TRUE(board_.Start(kStartTimeoutMs)) << board_.AgentLog();
    }

    // One request, never repeated: a repeat would run the test again.
    fixture::Exchange Ask(uint8_t cmdId, const Bytes &data, int timeoutMs = 30000) {
        const Bytes frame = fixture::BuildRequest(cmdId, data);
        EXPECT_EQ(std::count(frame.begin() + 1, frame.end(), MSG_START_DESCRIPTOR), 0)
            << "a test request the transport would cut: " << e2e::Hex(frame);
        auto got = board_.link().Transact(frame, timeoutMs, 0);
        EXPECT_EQ(got.status, Status::Ok) << got.error << "\n" << board_.AgentLog();
        return got;
    }

    void ExpectPass(const fixture::Exchange &got, const Bytes &data) {
        EXPECT_EQ(got.response.ack, 0) << e2e::Hex(got.response.raw) << "\n" << board_.AgentLog();
        EXPECT_EQ(got.response.data, data) << e2e::Hex(got.response.raw);
    }

    void ExpectFail(const fixture::Exchange &got, const char *id) {
        EXPECT_EQ(e2e::Hex(got.response.raw), FailFrame(id)) << board_.AgentLog();
    }

    // Pings the server through the given handler; passes with a plausible time.
    void ExpectPingPasses(uint8_t cmdId) {
        auto got = Ask(cmdId, kServer);
        ASSERT_EQ(got.response.ack, 0) << e2e::Hex(got.response.raw) << "\n" << board_.AgentLog();
        ASSERT_EQ(got.response.data.size(), 4u);
        EXPECT_LE(BigEndian32(got.response.data), 1000u) << e2e::Hex(got.response.raw);
    }

    // The clients act on their signals after the agent has answered.
    bool WaitForCalls(const std::string &line, size_t count, int timeoutMs = 5000) {
        const int64_t deadline = fixture::NowUs() + int64_t{timeoutMs} * 1000;
        for (;;) {
            size_t seen = 0;
            for (const std::string &call : board_.ToolCalls()) seen += call == line ? 1 : 0;
            if (seen >= count) return true;
            if (fixture::NowUs() >= deadline) return false;
            usleep(20000);
        }
    }

    size_t CallsWith(const std::string &needle) const {
        size_t count = 0;
        for (const std::string &line : board_.ToolCalls()) {
            if (line.find(needle) != std::string::npos) ++count;
        }
        return count;
    }

    std::string accessPoints_ = kLabAccessPoints;
    BoardSandbox board_;
};

TEST_F(Network, StaticAddressIsSetAndReadBackFromTheInterface) {
    ExpectPass(Ask(kEthernetConfig, EthernetRequest(1, {10, 0, 77, 50})), {10, 0, 77, 50});
    // The route through the gateway works: the server answers.
    ExpectPingPasses(kEthernetPing);

    // A static address that does not take effect (a multicast address, which the kernel
    // refuses) fails on the comparison: eth0 still reads back the earlier address.
    ExpectFail(Ask(kEthernetConfig, EthernetRequest(1, {224, 1, 2, 4})), "25");
    ExpectPass(Ask(kEthernetConfig, EthernetRequest(1, {10, 0, 77, 52})), {10, 0, 77, 52});

    EXPECT_EQ(board_.ReadFile("etc/network/interfaces"), kOldInterfaces)
        << "the static path leaves the interfaces file alone";
    EXPECT_EQ(CallsWith("S30-network"), 0u);
    EXPECT_EQ(board_.CountInLog("Ethernet config success"), 2u);
    EXPECT_EQ(board_.CountInLog("Ethernet config fail"), 1u);
}

TEST_F(Network, DhcpWithFlagZeroTakesTheLeaseAndRewritesTheInterfacesFile) {
    // Only the flag byte: the request's address reads as 0.0.0.0 and is not compared.
    ExpectPass(Ask(kEthernetConfig, {0}), kEth0Lease);
    EXPECT_EQ(board_.ReadFile("etc/network/interfaces"), kDhcpInterfaces);
    EXPECT_EQ(board_.ReadFile("etc/network/interfaces").size(), 31u);
    EXPECT_FALSE(board_.Exists("etc/network/interfaces.tmp"));
    EXPECT_EQ(CallsWith("S30-network start"), 1u);
    EXPECT_EQ(CallsWith("udhcpc bound eth0 10.0.77.10"), 1u);

    // Over a static address: DHCP replaces it.
    ExpectPass(Ask(kEthernetConfig, EthernetRequest(1, {10, 0, 77, 70})), {10, 0, 77, 70});
    ExpectPass(Ask(kEthernetConfig, {0}), kEth0Lease);
    EXPECT_EQ(board_.ReadFile("etc/network/interfaces"), kDhcpInterfaces);
}

TEST_F(Network, DhcpWithFlagTwoPassesOnlyWhenTheLeaseIsTheRequestedAddress) {
    ExpectPass(Ask(kEthernetConfig, EthernetRequest(2, kEth0Lease)), kEth0Lease);
    ExpectFail(Ask(kEthernetConfig, EthernetRequest(2, {10, 0, 77, 99})), "25");
    // Any flag but 1 is DHCP.
    ExpectPass(Ask(kEthernetConfig, EthernetRequest(200, kEth0Lease)), kEth0Lease);
    EXPECT_EQ(CallsWith("S30-network start"), 3u);
    EXPECT_EQ(board_.ReadFile("etc/network/interfaces"), kDhcpInterfaces);
}

TEST_F(Network, PingPassesForTheServerAndFailsForAnAddressNobodyHolds) {
    ExpectPass(Ask(kEthernetConfig, {0}), kEth0Lease);
    ExpectPingPasses(kEthernetPing);
    EXPECT_EQ(board_.CountInLog("Ethernet ping success"), 1u);

    ExpectFail(Ask(kEthernetPing, kFree), "26");
    EXPECT_EQ(board_.CountInLog("Ethernet ping fail"), 1u);
}

TEST_F(Network, WifiConfiguredTwiceThenStoppedRestoresTheDefaultFile) {
    const std::string first = PskBlock("TVK-LAB", "tvk-lab-passphrase");
    const std::string second = OpenBlock("TVK-OPEN");
    ExpectPass(Ask(kEthernetConfig, {0}), kEth0Lease);

    ExpectPass(Ask(kWifiConfig, WifiRequest(1, "TVK-LAB;tvk-lab-passphrase")), kWlan0Lease);
    EXPECT_EQ(board_.ReadFile("etc/wpa_supplicant.conf"), kDefaultSupplicant + first);
    // Ethernet went down: the echo now goes out through wlan0.
    ExpectPingPasses(kWifiPing);

    ExpectPass(Ask(kWifiConfig, WifiRequest(0, "TVK-OPEN")), kWlan0Lease);
    // Each block on lines of its own, so the client parses the whole file.
    EXPECT_EQ(board_.ReadFile("etc/wpa_supplicant.conf"), kDefaultSupplicant + first + second);
    EXPECT_EQ(CallsWith("wpa_supplicant: associated"), 2u);
    EXPECT_EQ(CallsWith("does not parse"), 0u);
    ExpectPingPasses(kWifiPing);
    EXPECT_EQ(board_.CountInLog("WIFI config test success"), 2u);

    const size_t releasesBefore = CallsWith("udhcpc deconfig wlan0");
    auto stop = Ask(kWifiStop, {});
    EXPECT_EQ(e2e::Hex(stop.response.raw), "3C 33 23 01 23 00 23 00 3E");
    EXPECT_EQ(board_.ReadFile("etc/wpa_supplicant.conf"), kDefaultSupplicant);
    EXPECT_EQ(board_.ReadFile("etc/wpa_supplicant.conf").size(), 122u);
    EXPECT_FALSE(board_.Exists("etc/wpa_supplicant.conf.tmp"));
    // The client was stopped and the DHCP client gave its lease back: no way out is left.
    EXPECT_TRUE(WaitForCalls("wpa_supplicant stopped", 1));
    EXPECT_TRUE(WaitForCalls("udhcpc deconfig wlan0", releasesBefore + 1));
    ExpectFail(Ask(kWifiPing, kServer), "28");
    EXPECT_EQ(board_.CountInLog("WIFI ping Test fail"), 1u);

    ExpectFail(Ask(kWifiStop, {}), "33");
    EXPECT_EQ(board_.CountInLog("WIFI stop test success"), 1u);
    EXPECT_EQ(board_.CountInLog("WIFI stop test fail"), 1u);
}

TEST_F(Network, StopWithoutAPassingConfigurationFailsAndTouchesNothing) {
    ExpectFail(Ask(kWifiStop, {}), "33");
    EXPECT_EQ(board_.ReadFile("etc/wpa_supplicant.conf"), kDefaultSupplicant);

    // A wrong passphrase: the block is appended, nothing associates, the test fails.
    const std::string wrong = PskBlock("TVK-LAB", "not-the-passphrase");
    ExpectFail(Ask(kWifiConfig, WifiRequest(1, "TVK-LAB;not-the-passphrase")), "27");
    EXPECT_EQ(board_.ReadFile("etc/wpa_supplicant.conf"), kDefaultSupplicant + wrong);

    ExpectFail(Ask(kWifiStop, {}), "33");
    EXPECT_EQ(board_.ReadFile("etc/wpa_supplicant.conf"), kDefaultSupplicant + wrong)
        << "only a stop after a passing configuration resets the file";
    EXPECT_EQ(CallsWith("wpa_supplicant stopped"), 0u);
}

class NetworkLimits : public Network {
  protected:
    NetworkLimits() { accessPoints_ = LongAccessPoint(); }
    static std::string LongSsid() { return std::string(32, 'S'); }
    static std::string LongPassphrase() { return std::string(63, 'p'); }
    static std::string LongAccessPoint() { return LongSsid() + "\t" + LongPassphrase() + "\n"; }
};

TEST_F(NetworkLimits, HostileTextsAreRefusedWithNothingRunOrWritten) {
    ExpectPass(Ask(kEthernetConfig, EthernetRequest(1, {10, 0, 77, 50})), {10, 0, 77, 50});
    const size_t callsBefore = board_.ToolCalls().size();

    struct {
        const char *name;
        uint8_t flag;
        std::string text;
    } cases[] = {
        {"quote in SSID", 1, "TVK\"LAB;tvk-lab-passphrase"},
        {"backslash in SSID", 1, "TVK\\LAB;tvk-lab-passphrase"},
        {"newline in SSID", 1, "TVK\nLAB;tvk-lab-passphrase"},
        {"33-byte SSID", 1, std::string(33, 'S') + ";tvk-lab-passphrase"},
        {"quote in passphrase", 1, "TVK-LAB;tvk\"lab"},
        {"64-character passphrase", 1, "TVK-LAB;" + std::string(64, 'p')},
        // The client would reject the whole file, and every later configuration with it.
        {"7-character passphrase", 1, "TVK-LAB;1234567"},
        {"empty passphrase", 1, "TVK-LAB;"},
        {"WPA text without a separator", 1, "tvk-lab-passphrase"},
        {"newline ending an open SSID", 0, "TVK-OPEN\n}\nnetwork={"},
        {"33-byte open SSID", 0, std::string(33, 'S')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ExpectFail(Ask(kWifiConfig, WifiRequest(c.flag, c.text)), "27");
        EXPECT_EQ(board_.ReadFile("etc/wpa_supplicant.conf"), kDefaultSupplicant);
        EXPECT_EQ(board_.ToolCalls().size(), callsBefore) << "no script or client ran";
    }
    // eth0 was never taken down.
    ExpectPingPasses(kEthernetPing);

    // The limits themselves are accepted: a 32-byte SSID and a 63-character passphrase.
    ExpectPass(Ask(kWifiConfig, WifiRequest(1, LongSsid() + ";" + LongPassphrase())), kWlan0Lease);
    EXPECT_EQ(board_.ReadFile("etc/wpa_supplicant.conf"),
              kDefaultSupplicant + PskBlock(LongSsid(), LongPassphrase()));
}

// A board whose network start script and DHCP event script leave addresses as they are (as the
// twin's), and no DHCP server answering.
class NetworkWithoutDhcpServer : public Network {
  protected:
    NetworkWithoutDhcpServer() {
        Script("etc/init.d/S30-network", "S30-network $*", 0);
        Script("bin/udhcpc", "udhcpc $*", 1);
    }
    void Script(const std::string &path, const std::string &logLine, int exitCode) {
        board_.WriteFile(path, "#!/bin/sh\necho \"" + logLine + "\" >> /run/sim/calls.log\nexit " +
                                   std::to_string(exitCode) + "\n");
        fs::permissions(board_.Path(path), fs::perms::owner_all);
    }
};

TEST_F(NetworkWithoutDhcpServer, DhcpAfterAStaticAddressFailsWithoutALease) {
    ExpectPass(Ask(kEthernetConfig, EthernetRequest(1, kEth0Lease)), kEth0Lease);
    ExpectFail(Ask(kEthernetConfig, {0}), "25");
    EXPECT_EQ(CallsWith("udhcpc -n -q eth0"), 1u);
    ExpectFail(Ask(kEthernetConfig, EthernetRequest(2, kEth0Lease)), "25");
}

}  // namespace
