#include "BoardHarness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "RS485lib.h"

namespace e2e {

namespace fs = std::filesystem;

BoardSandbox::BoardSandbox(BoardOptions options) : options_(std::move(options)) {
    board_ = top_.Path("board");
    logPath_ = top_.Path("agent.log");
    for (const char *dir : {"hwtest", "mnt", "etc", "bin", "simctl", "dev/input", "sys/class/gpio",
                            "sys/class/pwm"}) {
        fs::create_directories(board_ + "/" + dir);
    }
    WriteFile("simctl/calls.log", "");
}

BoardSandbox::~BoardSandbox() {
    Stop();
}

std::string BoardSandbox::Path(const std::string &relative) const {
    return board_ + "/" + relative;
}

void BoardSandbox::WriteFile(const std::string &relative, const std::string &content) {
    top_.Write("board/" + relative, content);
}

std::string BoardSandbox::ReadFile(const std::string &relative) const {
    return top_.Read("board/" + relative);
}

bool BoardSandbox::Exists(const std::string &relative) const {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(Path(relative), ignored));
}

void BoardSandbox::MakeDir(const std::string &relative) {
    fs::create_directories(Path(relative));
}

void BoardSandbox::ScriptTool(const std::string &tool, const std::string &output, int exitCode) {
    WriteFile("simctl/" + tool + ".out", output);
    WriteFile("simctl/" + tool + ".rc", std::to_string(exitCode) + "\n");
}

std::vector<std::string> BoardSandbox::ToolCalls() const {
    std::vector<std::string> calls;
    std::istringstream in(ReadFile("simctl/calls.log"));
    for (std::string line; std::getline(in, line);) calls.push_back(line);
    return calls;
}

bool BoardSandbox::Start(int readyTimeoutMs) {
    if (child_.pid() > 0) return true;
    if (!slaveFd_.valid()) {
        int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
        slaveName_ = ptsname(master);
        // Our own slave descriptor keeps the line up while the agent opens and closes it.
        slaveFd_ = UniqueFd(open(slaveName_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        termios tty;
        if (slaveFd_.valid() && tcgetattr(slaveFd_.get(), &tty) == 0) {
            cfmakeraw(&tty);
            tcsetattr(slaveFd_.get(), TCSANOW, &tty);
        }
        link_.Adopt(master);
        link_.waitListening = [this] { WaitListening(3000); };
    }

    std::vector<std::string> args = {"/bin/bash", TVK_SANDBOX_PATH, "--board",
                                     board_,      "--tty",          slaveName_};
    if (!options_.netSetup.empty()) {
        args.push_back("--net-setup");
        args.push_back(options_.netSetup);
    }
    for (const std::string &e : options_.env) {
        args.push_back("--env");
        args.push_back(e);
    }
    if (options_.logReaderQuits) args.push_back("--log-reader-quits");
    args.push_back("--");
    args.push_back(options_.program);
    // If the test dies, the sandbox dies with it, and with the sandbox the whole board.
    support::ChildOptions how;
    how.logPath = logPath_;
    how.inputPipe = false;
    std::string error;
    if (!child_.Start(args, how, error)) return false;

    const int64_t deadline = fixture::NowUs() + int64_t{readyTimeoutMs} * 1000;
    while (fixture::NowUs() < deadline) {
        if (ListeningCount() > listeningUsed_) return true;
        if (!Running()) return false;
        usleep(10000);
    }
    return false;
}

size_t BoardSandbox::ListeningCount() {
    std::ifstream in(logPath_, std::ios::binary);
    // Start a little before the last scan so a mark cut in two is still found once.
    const size_t overlap = sizeof RS485_LISTENING_TEXT - 2;
    size_t from = logScanned_ > overlap ? logScanned_ - overlap : 0;
    in.seekg(static_cast<std::streamoff>(from));
    std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (size_t at = chunk.find(RS485_LISTENING_TEXT); at != std::string::npos;
         at = chunk.find(RS485_LISTENING_TEXT, at + 1)) {
        if (from + at + sizeof RS485_LISTENING_TEXT - 1 > logScanned_) ++listening_;
    }
    logScanned_ = from + chunk.size();
    return listening_;
}

bool BoardSandbox::WaitListening(int timeoutMs) {
    const int64_t deadline = fixture::NowUs() + int64_t{timeoutMs} * 1000;
    for (;;) {
        if (ListeningCount() > listeningUsed_) {
            listeningUsed_ = listening_;
            return true;
        }
        if (fixture::NowUs() >= deadline || !Running()) return false;
        usleep(200);
    }
}

bool BoardSandbox::Running() {
    return child_.Running();
}

void BoardSandbox::Stop() {
    child_.Kill();
}

fixture::Exchange BoardSandbox::Request(uint8_t cmdId, const Bytes &data, int timeoutMs) {
    return link_.Transact(fixture::BuildRequest(cmdId, data), timeoutMs, 1);
}

fixture::Exchange BoardSandbox::Raw(const Bytes &bytes, int timeoutMs) {
    return link_.SendRaw(bytes, timeoutMs);
}

pid_t BoardSandbox::AgentPid() const {
    if (child_.pid() <= 0) return -1;
    std::set<pid_t> family = {child_.pid()};
    for (int round = 0; round < 8; ++round) {
        DIR *proc = opendir("/proc");
        if (proc == nullptr) return -1;
        while (dirent *entry = readdir(proc)) {
            pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
            if (pid <= 0) continue;
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string line;
            std::getline(stat, line);
            size_t close = line.rfind(')');
            if (close == std::string::npos) continue;
            std::istringstream rest(line.substr(close + 2));
            char state;
            pid_t parent = 0;
            rest >> state >> parent;
            if (family.count(parent) != 0) family.insert(pid);
        }
        closedir(proc);
    }
    for (pid_t pid : family) {
        std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
        std::string program;
        std::getline(cmdline, program, '\0');
        if (program.rfind("/opt/agent/", 0) == 0) return pid;
    }
    return -1;
}

std::string BoardSandbox::AgentLog() const {
    return top_.Read("agent.log");
}

size_t BoardSandbox::CountInLog(const std::string &needle) const {
    std::string log = AgentLog();
    size_t count = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace e2e
