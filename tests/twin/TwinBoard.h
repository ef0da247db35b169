// The board twin (sim/twin) seen from the fixture's side: its RS-485 line through
// fixture::Link, and its control channel for what a test station does by hand (touch the
// panel, unplug the CAN peer, look at the LCD, read files).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "FixtureLink.h"

namespace twin {

using fixture::Bytes;

struct CtlResult {
    bool ok = false;  // the guest answered
    int status = -1;  // the command's exit status
    std::string output;
};

// The connection to the guest's control channel (sbin/twin-ctl in the image). QEMU serves one
// client at a time, so threads of a test share this one; Run may be called from any of them.
class Control {
  public:
    Control() = default;
    ~Control();
    Control(const Control &) = delete;
    Control &operator=(const Control &) = delete;

    bool Connect(const std::string &socketPath, std::string &error);
    CtlResult Run(const std::string &command, int timeoutMs = 60000);

  private:
    bool ReadLine(std::string &line, int64_t deadlineUs);

    std::mutex lock_;
    int fd_ = -1;
    unsigned long nextId_ = 0;
    std::string buffer_;
};

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // 3 bytes a pixel, rows top down
};

class TwinBoard {
  public:
    // The running twin named by $TVK_TWIN_RUN (or the build's default run directory).
    TwinBoard();
    ~TwinBoard();
    TwinBoard(const TwinBoard &) = delete;
    TwinBoard &operator=(const TwinBoard &) = delete;

    bool ready() const { return error_.empty(); }
    const std::string &error() const { return error_; }
    std::string Endpoint(const std::string &key) const;

    fixture::Exchange Request(uint8_t cmdId, const Bytes &data = {}, int timeoutMs = 5000);
    fixture::Exchange Raw(const Bytes &bytes, int timeoutMs = 5000);
    fixture::Link &link() { return link_; }

    CtlResult Ctl(const std::string &command, int timeoutMs = 60000);
    // The Bluetooth peer on the twin's emulator, on the host (`twin beacon start|stop|status`);
    // start and status answer its address as the emulator gave it.
    CtlResult Beacon(const std::string &action);
    bool WriteFile(const std::string &guestPath, const std::string &content);
    std::string ReadFile(const std::string &guestPath);
    // Stand-in tools (sim/board-tools): scripted output and exit code, and the calls made.
    bool ScriptTool(const std::string &tool, const std::string &output, int exitCode = 0);
    void ClearToolCalls();
    std::vector<std::string> ToolCalls();

    // The agent's output as the system log holds it, from the given line on.
    std::vector<std::string> AgentLog(size_t fromLine = 0);
    pid_t AgentPid();
    // utime + stime of the agent in clock ticks, -1 when unknown.
    long AgentCpuTicks();
    long TicksPerSecond();
    // VmHWM of the agent in kB, -1 when unknown.
    long AgentPeakRssKb();

    // The LCD as QEMU shows it (QMP screendump of the virtio GPU).
    bool Screendump(Picture &picture, std::string &error);

  private:
    void WaitListening();
    size_t ListeningCount();
    // Reads the guest's running count of listening lines until it passes `above`.
    bool ReadMarks(size_t above, int64_t deadlineUs);

    std::map<std::string, std::string> endpoints_;
    std::string runDir_;
    std::string error_;
    Control control_;
    fixture::Link link_;
    size_t listeningUsed_ = 0;
    int marksFd_ = -1;
    size_t marksLatest_ = 0;
    std::string marksBuffer_;
};

// For assertion messages.
std::string Hex(const Bytes &bytes);
std::string ShellQuote(const std::string &text);

}  // namespace twin
