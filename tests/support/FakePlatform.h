// The agent's platform layer recorded instead of run: every command it hands to the board, and
// scripted answers. While one exists it is the platform (one at a time).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace support {

class FakePlatform {
  public:
    FakePlatform();   // installs itself
    ~FakePlatform();  // puts the real shell back
    FakePlatform(const FakePlatform &) = delete;
    FakePlatform &operator=(const FakePlatform &) = delete;

    std::vector<std::string> commands;  // every command run or read, in order
    std::vector<int> readSizes;         // the size of every first-line read
    std::vector<int> limits;            // each command's time limit in seconds
    // What a read of a command prints (as fgets takes it: up to and including the first line
    // end, at most size - 1 bytes); `anyOutput` for a command not in the map.
    std::map<std::string, std::string> output;
    std::string anyOutput;
    std::map<std::string, int> status;  // command -> wait status (default 0)
    bool pipeFails = false;             // reads report that no pipe opened
    std::function<void(const std::string &)> onRun;  // sees each command as it runs

    int Run(const char *command, int limitSeconds);
    int Read(const char *command, char *buffer, int size, int limitSeconds);
};

}  // namespace support
