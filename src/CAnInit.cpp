#include "CAnInit.h"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "Log.h"
#include "UniqueFd.h"

int canFd = 0;

int can_init(char *deviceName) {
    if (deviceName == nullptr) {
        LOG_DEBUG("deviceName is Null pointer");
        return -1;
    }
    if (canFd != 0) {
        LOG_DEBUG("FD is already created");
        return canFd;
    }
    // A socket that cannot be bound is closed again and remembered as -1, so that no later
    // call hands out a handle that is not bound to the interface.
    canFd = -1;
    UniqueFd sock(socket(PF_CAN, SOCK_RAW, CAN_RAW));
    const int fd = sock.get();
    if (fd < 0) {
        LOG_DEBUG("Error while opening socket");
        return -1;
    }
    LOG_DEBUG("Socket Open");

    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", deviceName);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
        perror("SIOCGIFINDEX");
        return -1;
    }
    LOG_DEBUG("ioctl is set");

    sockaddr_can addr;
    std::memset(&addr, 0, sizeof addr);
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;

    // No frames until the receive thread installs its own filters.
    IgnoreResult(setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0));

    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        LOG_DEBUG("binding error");
        return -1;
    }
    LOG_DEBUG("binding Success");
    canFd = sock.release();
    return canFd;
}
