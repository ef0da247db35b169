#include "Platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int RealRunCommand(const char *command) {
    return std::system(command);
}

int RealReadFirstLine(const char *command, char *buffer, int size) {
    FILE *pipe = popen(command, "r");
    if (pipe == nullptr) return 0;
    if (std::fgets(buffer, size, pipe) == nullptr) {
        // An empty answer leaves the caller's cleared buffer as it was.
    }
    pclose(pipe);
    return 1;
}

const stPlatformOps kRealOps = {RealRunCommand, RealReadFirstLine};
const stPlatformOps *gOps = &kRealOps;

}  // namespace

int PlatformRunCommand(const char *command) {
    std::fflush(nullptr);  // keep our log lines ahead of the tool's own output
    return gOps->runCommand(command);
}

int PlatformReadFirstLine(const char *command, char *buffer, int size) {
    std::fflush(nullptr);
    return gOps->readFirstLine(command, buffer, size);
}

void PlatformSetOps(const stPlatformOps *ops) {
    gOps = ops != nullptr ? ops : &kRealOps;
}

bool ShellQuote(const char *text, char *out, std::size_t outSize) {
    std::size_t used = 0;
    auto put = [&](const char *s) {
        std::size_t n = std::strlen(s);
        if (used + n + 1 > outSize) return false;
        std::memcpy(out + used, s, n);
        used += n;
        return true;
    };
    bool ok = put("'");
    for (const char *p = text; ok && *p != '\0'; ++p) {
        if (*p == '\'') {
            ok = put("'\\''");
        } else {
            const char one[2] = {*p, '\0'};
            ok = put(one);
        }
    }
    ok = ok && put("'");
    if (!ok) {
        if (outSize > 0) out[0] = '\0';
        return false;
    }
    out[used] = '\0';
    return true;
}
