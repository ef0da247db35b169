#include "TwinBoard.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Process.h"
#include "RS485lib.h"

namespace twin {

namespace {

constexpr const char *kAgentName = "TVKTestApp";
constexpr const char *kSystemLog = "/var/log/messages";
constexpr const char *kAgentTag = "tvk-agent: ";
// The agent logs this each time it has reopened and flushed its port to listen.
constexpr const char *kListeningLine = RS485_LISTENING_TEXT;
constexpr const char *kStandInDir = "/run/sim";
constexpr const char *kScreendumpName = "screendump.ppm";
constexpr int kListeningWaitSeconds = 30;
constexpr int kBeaconTimeoutMs = 30000;

int ConnectUnix(const std::string &path, std::string &error) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        error = "socket path too long: " + path;
        close(fd);
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        error = path + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(const std::string &in) {
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out += kBase64[(v >> s) & 63];
    }
    if (i < in.size()) {
        uint32_t v = uint8_t(in[i]) << 16;
        if (i + 1 < in.size()) v |= uint8_t(in[i + 1]) << 8;
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += i + 1 < in.size() ? kBase64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string Unbase64(const std::string &in) {
    std::string out;
    uint32_t v = 0;
    int bits = 0;
    for (char c : in) {
        const char *p = std::strchr(kBase64, c);
        if (c == '\0' || p == nullptr) continue;  // line ends and padding
        v = (v << 6) | uint32_t(p - kBase64);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char((v >> bits) & 0xFF);
        }
    }
    return out;
}

// Reads lines until one holds "return" (done) or "error"; QMP events in between are skipped.
bool QmpCommand(int fd, const std::string &json, std::string &error) {
    std::string line = json + "\n";
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        error = "QMP write failed";
        return false;
    }
    std::string buffer;
    for (;;) {
        size_t end;
        while ((end = buffer.find('\n')) == std::string::npos) {
            pollfd pfd = {fd, POLLIN, 0};
            if (poll(&pfd, 1, 10000) <= 0) {
                error = "QMP: no answer";
                return false;
            }
            char chunk[4096];
            ssize_t got = read(fd, chunk, sizeof chunk);
            if (got <= 0) {
                error = "QMP closed";
                return false;
            }
            buffer.append(chunk, static_cast<size_t>(got));
        }
        std::string reply = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        if (reply.find("\"return\"") != std::string::npos) return true;
        if (reply.find("\"error\"") != std::string::npos) {
            error = "QMP: " + reply;
            return false;
        }
    }
}

bool ReadPpm(const std::string &path, Picture &picture, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::string magic;
    int maxValue = 0;
    in >> magic >> picture.width >> picture.height >> maxValue;
    in.get();  // the one white space before the pixels
    if (magic != "P6" || maxValue != 255 || picture.width <= 0 || picture.height <= 0) {
        error = "not an 8-bit PPM: " + path;
        return false;
    }
    picture.rgb.resize(static_cast<size_t>(picture.width) * picture.height * 3);
    in.read(reinterpret_cast<char *>(picture.rgb.data()),
            static_cast<std::streamsize>(picture.rgb.size()));
    if (!in) {
        error = "short PPM: " + path;
        return false;
    }
    return true;
}

}  // namespace

Control::~Control() {
    if (fd_ >= 0) close(fd_);
}

bool Control::Connect(const std::string &socketPath, std::string &error) {
    fd_ = ConnectUnix(socketPath, error);
    nextId_ = static_cast<unsigned long>(fixture::NowUs() % 1000000000);
    return fd_ >= 0;
}

bool Control::ReadLine(std::string &line, int64_t deadlineUs) {
    size_t end;
    while ((end = buffer_.find('\n')) == std::string::npos) {
        int64_t left = (deadlineUs - fixture::NowUs()) / 1000;
        if (left <= 0) return false;
        pollfd pfd = {fd_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) return false;
        char chunk[4096];
        ssize_t got = read(fd_, chunk, sizeof chunk);
        if (got <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(got));
    }
    line = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    return true;
}

CtlResult Control::Run(const std::string &command, int timeoutMs) {
    std::lock_guard<std::mutex> guard(lock_);
    CtlResult result;
    if (fd_ < 0 || command.find('\n') != std::string::npos) return result;
    const std::string id = std::to_string(++nextId_);
    const std::string request = id + " " + command + "\n";
    if (write(fd_, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        return result;
    }
    const int64_t deadline = fixture::NowUs() + int64_t{timeoutMs} * 1000;
    const std::string begin = "@@BEGIN " + id;
    const std::string endPrefix = "@@END " + id + " ";
    bool inside = false;
    std::string line;
    while (ReadLine(line, deadline)) {
        if (line == begin) {
            inside = true;
            result.output.clear();
        } else if (inside && line.rfind(endPrefix, 0) == 0) {
            // The guest adds one line end after the output; one of the output's own goes too.
            for (int i = 0; i < 2 && !result.output.empty() && result.output.back() == '\n'; ++i) {
                result.output.pop_back();
            }
            result.status = std::atoi(line.c_str() + endPrefix.size());
            result.ok = true;
            return result;
        } else if (inside) {
            result.output += line + "\n";
        }
    }
    return result;
}

TwinBoard::TwinBoard() {
    const char *run = std::getenv("TVK_TWIN_RUN");
    runDir_ = run != nullptr && *run != '\0' ? run : TVK_TWIN_DEFAULT_RUN;
    std::ifstream in(runDir_ + "/endpoints");
    if (!in) {
        error_ = "no running twin in " + runDir_ + " (sim/twin/twin --run DIR start)";
        return;
    }
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) endpoints_[line.substr(0, eq)] = line.substr(eq + 1);
    }
    if (!control_.Connect(Endpoint("control"), error_)) return;
    if (Endpoint("serial_kind") == "pty") {
        if (!link_.OpenDevice(Endpoint("serial"), error_)) return;
    } else {
        std::string err;
        int fd = ConnectUnix(Endpoint("serial"), err);
        if (fd < 0) {
            error_ = err;
            return;
        }
        link_.Adopt(fd);
    }
    marksFd_ = ConnectUnix(Endpoint("marks"), error_);
    if (marksFd_ < 0) return;
    link_.waitListening = [this] { WaitListening(); };
    // The agent is listening now unless a request is on its way: nothing of ours is. The
    // stream may still bring older counts; read up to this one.
    const size_t count = ListeningCount();
    listeningUsed_ = count > 0 ? count - 1 : 0;
    if (count > 0 &&
        !ReadMarks(count - 1, fixture::NowUs() + int64_t{kListeningWaitSeconds} * 1000000)) {
        error_ = "the guest's listening count does not come";
    }
}

TwinBoard::~TwinBoard() {
    if (marksFd_ >= 0) close(marksFd_);
}

std::string TwinBoard::Endpoint(const std::string &key) const {
    auto it = endpoints_.find(key);
    return it == endpoints_.end() ? std::string() : it->second;
}

size_t TwinBoard::ListeningCount() {
    CtlResult r = control_.Run(std::string("grep -c '") + kListeningLine + "' " + kSystemLog);
    return r.ok ? std::strtoul(r.output.c_str(), nullptr, 10) : 0;
}

bool TwinBoard::ReadMarks(size_t above, int64_t deadlineUs) {
    while (marksLatest_ <= above) {
        size_t end;
        while ((end = marksBuffer_.find('\n')) != std::string::npos) {
            marksLatest_ =
                std::max<size_t>(marksLatest_, std::strtoul(marksBuffer_.c_str(), nullptr, 10));
            marksBuffer_.erase(0, end + 1);
        }
        if (marksLatest_ > above) break;
        int64_t left = (deadlineUs - fixture::NowUs()) / 1000;
        pollfd pfd = {marksFd_, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0) return false;
        char chunk[512];
        ssize_t got = read(marksFd_, chunk, sizeof chunk);
        if (got <= 0) return false;
        marksBuffer_.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

void TwinBoard::WaitListening() {
    // The guest says each time the agent has logged one more listening line.
    const int64_t deadline = fixture::NowUs() + int64_t{kListeningWaitSeconds} * 1000000;
    if (ReadMarks(listeningUsed_, deadline)) listeningUsed_ = marksLatest_;
}

fixture::Exchange TwinBoard::Request(uint8_t cmdId, const Bytes &data, int timeoutMs) {
    return link_.Transact(fixture::BuildRequest(cmdId, data), timeoutMs);
}

fixture::Exchange TwinBoard::Raw(const Bytes &bytes, int timeoutMs) {
    return link_.SendRaw(bytes, timeoutMs);
}

CtlResult TwinBoard::Ctl(const std::string &command, int timeoutMs) {
    return control_.Run(command, timeoutMs);
}

CtlResult TwinBoard::Beacon(const std::string &action) {
    const support::ProcessResult r = support::RunProcess(
        {TVK_TWIN_SCRIPT, "--run", runDir_, "beacon", action}, {}, kBeaconTimeoutMs);
    CtlResult result;
    result.ok = !r.timedOut && r.exitCode >= 0;
    result.status = r.exitCode;
    result.output = r.exitCode == 0 ? r.out.substr(0, r.out.find_last_not_of('\n') + 1) : r.err;
    return result;
}

bool TwinBoard::WriteFile(const std::string &guestPath, const std::string &content) {
    const std::string tmp = guestPath + ".twin-tmp";
    // Through a temporary file, so a reader never sees half of it.
    CtlResult r = control_.Run("echo " + Base64(content) + " | base64 -d > " + ShellQuote(tmp) +
                               " && mv " + ShellQuote(tmp) + " " + ShellQuote(guestPath));
    return r.ok && r.status == 0;
}

std::string TwinBoard::ReadFile(const std::string &guestPath) {
    CtlResult r = control_.Run("base64 " + ShellQuote(guestPath));
    return r.ok && r.status == 0 ? Unbase64(r.output) : std::string();
}

bool TwinBoard::ScriptTool(const std::string &tool, const std::string &output, int exitCode) {
    const std::string base = std::string(kStandInDir) + "/" + tool;
    return WriteFile(base + ".out", output) && WriteFile(base + ".rc", std::to_string(exitCode));
}

void TwinBoard::ClearToolCalls() {
    control_.Run(std::string(": > ") + kStandInDir + "/calls.log");
}

std::vector<std::string> TwinBoard::ToolCalls() {
    std::vector<std::string> calls;
    std::istringstream in(ReadFile(std::string(kStandInDir) + "/calls.log"));
    std::string line;
    while (std::getline(in, line)) calls.push_back(line);
    return calls;
}

std::vector<std::string> TwinBoard::AgentLog(size_t fromLine) {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(kSystemLog));
    std::string line;
    size_t index = 0;
    while (std::getline(in, line)) {
        size_t at = line.find(kAgentTag);
        if (at == std::string::npos) continue;
        if (index++ >= fromLine) lines.push_back(line.substr(at + std::strlen(kAgentTag)));
    }
    return lines;
}

pid_t TwinBoard::AgentPid() {
    CtlResult r = control_.Run(std::string("pidof ") + kAgentName);
    return r.ok && r.status == 0 ? static_cast<pid_t>(std::atol(r.output.c_str())) : -1;
}

long TwinBoard::AgentCpuTicks() {
    pid_t pid = AgentPid();
    if (pid <= 0) return -1;
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    // Fields after the command name, which ends at the last ')': state is field 3,
    // utime 14 and stime 15.
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    long utime = -1, stime = -1;
    for (int n = 3; n <= 15 && (in >> field); ++n) {
        if (n == 14) utime = std::atol(field.c_str());
        if (n == 15) stime = std::atol(field.c_str());
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

long TwinBoard::TicksPerSecond() {
    CtlResult r = control_.Run("getconf CLK_TCK 2>/dev/null || echo 100");
    long ticks = r.ok ? std::atol(r.output.c_str()) : 0;
    return ticks > 0 ? ticks : 100;
}

long TwinBoard::AgentPeakRssKb() {
    pid_t pid = AgentPid();
    if (pid <= 0) return -1;
    std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

bool TwinBoard::Screendump(Picture &picture, std::string &error) {
    int fd = ConnectUnix(Endpoint("qmp"), error);
    if (fd < 0) return false;
    const std::string path = runDir_ + "/" + kScreendumpName;
    std::remove(path.c_str());
    // The greeting is skipped along with events while waiting for the first "return".
    bool ok = QmpCommand(fd, R"({"execute":"qmp_capabilities"})", error) &&
              QmpCommand(fd,
                         R"({"execute":"screendump","arguments":{"filename":")" + path +
                             R"(","device":"gpu0"}})",
                         error);
    close(fd);
    return ok && ReadPpm(path, picture, error);
}

std::string Hex(const Bytes &bytes) {
    return fixture::Hex(bytes);
}

std::string ShellQuote(const std::string &text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

}  // namespace twin
