#include "FakePlatform.h"

#include <cstring>

#include "Platform.h"

namespace support {

namespace {

FakePlatform *gActive = nullptr;

int ActiveRun(const char *command, int limitSeconds) {
    return gActive->Run(command, limitSeconds);
}

int ActiveRead(const char *command, char *buffer, int size, int limitSeconds) {
    return gActive->Read(command, buffer, size, limitSeconds);
}

const stPlatformOps kFakeOps = {ActiveRun, ActiveRead};

}  // namespace

FakePlatform::FakePlatform() {
    gActive = this;
    PlatformSetOps(&kFakeOps);
}

FakePlatform::~FakePlatform() {
    PlatformSetOps(nullptr);
    PlatformTakeTimedOut();
    gActive = nullptr;
}

int FakePlatform::Run(const char *command, int limitSeconds) {
    commands.push_back(command);
    limits.push_back(limitSeconds);
    if (onRun) onRun(command);
    auto it = status.find(command);
    return it == status.end() ? 0 : it->second;
}

int FakePlatform::Read(const char *command, char *buffer, int size, int limitSeconds) {
    commands.push_back(command);
    limits.push_back(limitSeconds);
    readSizes.push_back(size);
    if (onRun) onRun(command);
    auto code = status.find(command);
    if (code != status.end() && code->second == PLATFORM_TIMED_OUT) return PLATFORM_TIMED_OUT;
    if (pipeFails) return 0;
    auto it = output.find(command);
    const std::string &text = it != output.end() ? it->second : anyOutput;
    size_t count = 0;
    while (count + 1 < static_cast<size_t>(size) && count < text.size()) {
        buffer[count] = text[count];
        if (text[count++] == '\n') break;
    }
    if (count > 0) buffer[count] = '\0';
    return 1;
}

}  // namespace support
