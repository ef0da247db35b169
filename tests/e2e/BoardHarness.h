// Runs the real agent in the board sandbox and talks to it over its serial line.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FixtureLink.h"
#include "Frames.h"
#include "Process.h"
#include "TempDir.h"

namespace e2e {

using fixture::Bytes;

struct BoardOptions {
    std::string program = TVK_AGENT_PATH;
    // Host script run inside the board's namespaces before the agent starts (network lab).
    std::string netSetup;
    std::vector<std::string> env;  // NAME=VALUE passed to the agent
    // The agent's standard error goes to a reader that ends after the first "listening" line.
    bool logReaderQuits = false;
};

class BoardSandbox {
  public:
    explicit BoardSandbox(BoardOptions options = {});
    ~BoardSandbox();
    BoardSandbox(const BoardSandbox &) = delete;
    BoardSandbox &operator=(const BoardSandbox &) = delete;

    // Host path of the board's files (what the agent sees as /), and of one file in it.
    const std::string &board() const { return board_; }
    std::string Path(const std::string &relative) const;

    void WriteFile(const std::string &relative, const std::string &content);
    std::string ReadFile(const std::string &relative) const;
    bool Exists(const std::string &relative) const;
    void MakeDir(const std::string &relative);

    // Scripts a stand-in tool (sim/board-tools): what it prints and its exit code.
    void ScriptTool(const std::string &tool, const std::string &output, int exitCode = 0);
    // "tool args" lines, one per stand-in call, in order.
    std::vector<std::string> ToolCalls() const;

    // Starts the agent and waits until it listens on its serial line.
    bool Start(int readyTimeoutMs = 15000);
    void Stop();
    bool Running();
    pid_t pid() const { return child_.pid(); }
    // The agent's host pid: the sandbox's descendant that runs the program in /opt/agent;
    // -1 when there is none.
    pid_t AgentPid() const;

    fixture::Exchange Request(uint8_t cmdId, const Bytes &data = {}, int timeoutMs = 3000);
    fixture::Exchange Raw(const Bytes &bytes, int timeoutMs = 3000);
    fixture::Link &link() { return link_; }

    // Everything the agent wrote to standard error so far.
    std::string AgentLog() const;
    size_t CountInLog(const std::string &needle) const;

    // How many times the agent has opened its port to listen (it logs each one after the
    // flush, so a request sent after a new one is never lost).
    size_t ListeningCount();

  private:
    bool WaitListening(int timeoutMs);

    BoardOptions options_;
    support::TempDir top_{"tvk-board"};
    std::string board_;
    std::string logPath_;
    std::string slaveName_;
    UniqueFd slaveFd_{-1};
    support::ChildProcess child_;
    fixture::Link link_;
    size_t logScanned_ = 0;
    size_t listening_ = 0;
    size_t listeningUsed_ = 0;
};

// "3C 30 23 ..." for readable assertion messages.
using support::Hex;

}  // namespace e2e
