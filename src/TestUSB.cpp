#include "TestUSB.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "Log.h"
#include "Platform.h"

namespace {

constexpr char USB_MOUNT_DIR[] = "/mnt/";
constexpr char USB_FILE_EXISTS[] = "File exists";
constexpr char USB_FILE_MISSING[] = "File does not exist";
constexpr char USB_RULES_INSTALL_COMMAND[] =
    "cp ../config/85-my_usb_device_rules.rules "
    "/etc/udev/rules.d/85-my_usb_device_rules.rules";
// The mount point, a name filling the whole request area, and the NUL.
constexpr int USB_PATH_SIZE = sizeof USB_MOUNT_DIR + PKT_DATA_SIZE;

}  // namespace

int UsbNameAllowed(const char *name) {
    // A ".." component would climb out of the stick into the board's own files.
    for (const char *part = name; *part != '\0';) {
        const char *end = std::strchr(part, '/');
        const std::size_t length =
            end != nullptr ? static_cast<std::size_t>(end - part) : std::strlen(part);
        if (length == 2 && part[0] == '.' && part[1] == '.') return 0;
        if (end == nullptr) break;
        part = end + 1;
    }
    return 1;
}

int USBTest(unsigned char *data) {
    const char *name = reinterpret_cast<const char *>(data);
    // The request area always ends in zeros; a name that fills it is not one the fixture sent.
    if (strnlen(name, PKT_DATA_SIZE) == PKT_DATA_SIZE) return 0;
    if (UsbNameAllowed(name) == 0) {
        LOG_DEBUG("Refusing %s: it leaves %s", name, USB_MOUNT_DIR);
        return 0;
    }

    char path[USB_PATH_SIZE] = {};
    std::snprintf(path, sizeof path, "%s%s", USB_MOUNT_DIR, name);
    LOG_DEBUG("Command is : %s", path);

    // stat follows symbolic links, as the board's own file test does.
    struct stat info;
    const bool exists = stat(path, &info) == 0 && S_ISREG(info.st_mode);
    const char *answer = exists ? USB_FILE_EXISTS : USB_FILE_MISSING;
    LOG_DEBUG("Buffer is : %s", answer);
    return exists ? 1 : 0;
}

void USBinit() {
    LOG_DEBUG("Copying 85-my_usb_device_rules.rules to /etc/udev/rules.d");
    PlatformRunCommand(USB_RULES_INSTALL_COMMAND);
}

void TestUSB(stRecvPkt *recvPkt, stResponsePkt *respPkt) {
    if (USBTest(recvPkt->data) == 1) {
        respPkt->data[0] = 0;
        SetPassResponse(respPkt, 0);
        LOG_INFO("Usb test success\n");
    } else {
        SetFailResponse(respPkt);
        LOG_INFO("Usb test fail\n");
    }
}
