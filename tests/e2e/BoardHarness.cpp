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
    char pattern[] = "/tmp/tvk-board-XXXXXX";
    const char *made = mkdtemp(pattern);
    top_ = made != nullptr ? made : "/tmp/tvk-board-fallback";
    board_ = top_ + "/board";
    logPath_ = top_ + "/agent.log";
    for (const char *dir : {"hwtest", "mnt", "etc", "bin", "simctl", "dev/input", "sys/class/gpio",
                            "sys/class/pwm"}) {
        fs::create_directories(board_ + "/" + dir);
    }
    WriteFile("simctl/calls.log", "");
}

BoardSandbox::~BoardSandbox() {
    Stop();
    if (slaveFd_ >= 0) close(slaveFd_);
    std::error_code ignored;
    fs::remove_all(top_, ignored);
}

std::string BoardSandbox::Path(const std::string &relative) const {
    return board_ + "/" + relative;
}

void BoardSandbox::WriteFile(const std::string &relative, const std::string &content) {
    fs::path path = Path(relative);
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string BoardSandbox::ReadFile(const std::string &relative) const {
    std::ifstream in(Path(relative), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
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
    if (pid_ > 0) return true;
    if (slaveFd_ < 0) {
        int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
        slaveName_ = ptsname(master);
        // Our own slave descriptor keeps the line up while the agent opens and closes it.
        slaveFd_ = open(slaveName_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tty;
        if (slaveFd_ >= 0 && tcgetattr(slaveFd_, &tty) == 0) {
            cfmakeraw(&tty);
            tcsetattr(slaveFd_, TCSANOW, &tty);
        }
        link_.Adopt(master);
        link_.waitListening = [this] { WaitListening(3000); };
    }

    std::vector<std::string> args = {"bash", TVK_SANDBOX_PATH, "--board",
                                     board_, "--tty",          slaveName_};
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

    const pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        setpgid(0, 0);
        // If the test dies, the sandbox dies with it, and with the sandbox the whole board.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        int log = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (log >= 0) {
            dup2(log, 1);
            dup2(log, 2);
        }
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, 0);
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv("/bin/bash", argv.data());
        _exit(127);
    }
    pid_ = child;

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
    if (pid_ <= 0) return false;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == 0) return true;
    pid_ = -1;  // reaped: never signal a recycled id
    return false;
}

void BoardSandbox::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

fixture::Exchange BoardSandbox::Request(uint8_t cmdId, const Bytes &data, int timeoutMs) {
    return link_.Transact(fixture::BuildRequest(cmdId, data), timeoutMs, 1);
}

fixture::Exchange BoardSandbox::Raw(const Bytes &bytes, int timeoutMs) {
    return link_.SendRaw(bytes, timeoutMs);
}

pid_t BoardSandbox::AgentPid() const {
    if (pid_ <= 0) return -1;
    std::set<pid_t> family = {pid_};
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
    std::ifstream in(logPath_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
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
