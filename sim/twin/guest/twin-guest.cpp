// Guest-side helpers of the board twin, one static binary for the ARM guest:
//   twin-guest can-echo IFACE [QUIET_ID]
//                                   echo node: sends every frame seen on IFACE back to the bus,
//                                   except those with identifier QUIET_ID
//   twin-guest slcan TTY            attaches the serial CAN line discipline to TTY and holds the
//                                   line (the interface lives as long as this process)
//   twin-guest can-up IFACE BITRATE sets the bit rate and starts IFACE (libsocketcan)
//   twin-guest can-info IFACE       "bitrate N state S up|down", read back from the kernel
//   twin-guest marks LOG TEXT OUT   follows LOG from its start; each time a line holding TEXT
//                                   is appended, and once a second, writes how many there are
//                                   so far to OUT
//   twin-guest touchd FIFO          touch panel: a uinput device fed by lines written to FIFO
//   twin-guest link-add NAME KIND   creates a network interface of KIND (e.g. dummy)
//   twin-guest rs485 TTY PAD        sets RS-485 mode (flags 0x11) with the first padding word
//                                   PAD and reports what the serial driver answered
// FIFO lines: "touch X Y" (ABS_X, ABS_Y, SYN), "abs CODE VALUE", "key CODE VALUE", "syn".
#include <fcntl.h>
#include <libsocketcan.h>
#include <linux/can.h>
#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/input.h>
#include <linux/rtnetlink.h>
#include <linux/serial.h>
#include <linux/tty.h>
#include <linux/uinput.h>
#include <net/if.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

namespace {

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

class File {
  public:
    explicit File(FILE *file) : file_(file) {}
    ~File() {
        if (file_ != nullptr) fclose(file_);
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    FILE *get() const { return file_; }

  private:
    FILE *file_;
};

constexpr const char *kTouchName = "TVK twin touch";
// Wider than 16 bits, so a test can see that only the low 16 bits reach the fixture.
constexpr int kTouchAbsMax = 0x7FFFFFFF;

int CanEcho(const char *iface, long quietId) {
    Fd sock(socket(PF_CAN, SOCK_RAW, CAN_RAW));
    if (sock.get() < 0) {
        perror("can-echo: socket");
        return 1;
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(if_nametoindex(iface));
    if (addr.can_ifindex == 0) {
        fprintf(stderr, "can-echo: no interface %s\n", iface);
        return 1;
    }
    if (bind(sock.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        perror("can-echo: bind");
        return 1;
    }
    fprintf(stderr, "can-echo: echoing on %s, quiet for id %ld\n", iface, quietId);
    for (;;) {
        can_frame frame{};
        ssize_t got = read(sock.get(), &frame, sizeof frame);
        if (got < 0 && errno == EINTR) continue;
        if (got != static_cast<ssize_t>(sizeof frame)) {
            perror("can-echo: read");
            return 1;
        }
        if (static_cast<long>(frame.can_id & CAN_EFF_MASK) == quietId) continue;
        // This socket does not receive its own frames, so an echo never comes back to it.
        if (write(sock.get(), &frame, sizeof frame) != static_cast<ssize_t>(sizeof frame)) {
            perror("can-echo: write");
        }
    }
}

bool Emit(int fd, int type, int code, int value) {
    input_event event{};
    event.type = static_cast<__u16>(type);
    event.code = static_cast<__u16>(code);
    event.value = value;
    return write(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event);
}

bool SetupTouch(int fd) {
    if (ioctl(fd, UI_SET_EVBIT, EV_KEY) < 0 || ioctl(fd, UI_SET_KEYBIT, BTN_TOUCH) < 0 ||
        ioctl(fd, UI_SET_EVBIT, EV_ABS) < 0 || ioctl(fd, UI_SET_EVBIT, EV_SYN) < 0) {
        return false;
    }
    for (int code : {ABS_X, ABS_Y}) {
        uinput_abs_setup abs{};
        abs.code = static_cast<__u16>(code);
        abs.absinfo.minimum = 0;
        abs.absinfo.maximum = kTouchAbsMax;
        if (ioctl(fd, UI_ABS_SETUP, &abs) < 0) return false;
    }
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    setup.id.vendor = 0x0416;
    setup.id.product = 0x9000;
    snprintf(setup.name, sizeof setup.name, "%s", kTouchName);
    return ioctl(fd, UI_DEV_SETUP, &setup) == 0 && ioctl(fd, UI_DEV_CREATE) == 0;
}

// The event node of our device: the input core made it, devtmpfs named it eventN.
int OpenOwnEventNode() {
    for (int n = 0; n < 32; ++n) {
        char path[32];
        snprintf(path, sizeof path, "/dev/input/event%d", n);
        int fd = open(path, O_RDONLY | O_NONBLOCK);
        if (fd < 0) continue;
        char name[256] = {0};
        if (ioctl(fd, EVIOCGNAME(sizeof name - 1), name) >= 0 && strcmp(name, kTouchName) == 0) {
            return fd;
        }
        close(fd);
    }
    return -1;
}

// The input core drops an ABS event that repeats the axis' current value, so a second touch
// on the same spot would never reach a reader. Moving the stored value aside first (no event
// is sent for that) makes every touch arrive.
void ForgetPosition(int axis, int next) {
    Fd node(OpenOwnEventNode());
    if (node.get() < 0) return;
    input_absinfo info{};
    if (ioctl(node.get(), EVIOCGABS(axis), &info) < 0) return;
    info.value = next == 0 ? 1 : 0;
    if (ioctl(node.get(), EVIOCSABS(axis), &info) < 0) perror("touchd: EVIOCSABS");
}

bool TouchLine(int fd, const char *line) {
    int a = 0, b = 0;
    if (sscanf(line, "touch %d %d", &a, &b) == 2) {
        ForgetPosition(ABS_X, a);
        ForgetPosition(ABS_Y, b);
        return Emit(fd, EV_ABS, ABS_X, a) && Emit(fd, EV_ABS, ABS_Y, b) &&
               Emit(fd, EV_SYN, SYN_REPORT, 0);
    }
    if (sscanf(line, "abs %d %d", &a, &b) == 2) return Emit(fd, EV_ABS, a, b);
    if (sscanf(line, "key %d %d", &a, &b) == 2) return Emit(fd, EV_KEY, a, b);
    if (strncmp(line, "syn", 3) == 0) return Emit(fd, EV_SYN, SYN_REPORT, 0);
    fprintf(stderr, "touchd: unknown line %s", line);
    return true;
}

int TouchDaemon(const char *fifoPath) {
    Fd dev(open("/dev/uinput", O_WRONLY));
    if (dev.get() < 0) {
        perror("touchd: /dev/uinput");
        return 1;
    }
    if (!SetupTouch(dev.get())) {
        perror("touchd: uinput set-up");
        return 1;
    }
    unlink(fifoPath);
    if (mkfifo(fifoPath, 0600) < 0) {
        perror("touchd: mkfifo");
        return 1;
    }
    fprintf(stderr, "touchd: \"%s\" fed by %s\n", kTouchName, fifoPath);
    for (;;) {
        // Opened read-write so the FIFO never reports end of file between writers.
        File fifo(fopen(fifoPath, "r+"));
        if (fifo.get() == nullptr) {
            perror("touchd: fifo");
            return 1;
        }
        char line[128];
        while (fgets(line, sizeof line, fifo.get()) != nullptr) {
            if (!TouchLine(dev.get(), line)) perror("touchd: write");
        }
    }
}

// RTM_NEWLINK with IFLA_IFNAME and IFLA_LINKINFO/IFLA_INFO_KIND, as "ip link add" sends it.
int LinkAdd(const char *name, const char *kind) {
    struct Request {
        nlmsghdr header;
        ifinfomsg info;
        char attrs[256];
    } request{};
    auto addAttr = [&request](unsigned short type, const void *data, size_t size) -> rtattr * {
        auto *attr = reinterpret_cast<rtattr *>(reinterpret_cast<char *>(&request) +
                                                NLMSG_ALIGN(request.header.nlmsg_len));
        attr->rta_type = type;
        attr->rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
        if (size > 0) memcpy(RTA_DATA(attr), data, size);
        request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(attr->rta_len);
        return attr;
    };
    if (strlen(name) >= IFNAMSIZ || strlen(kind) > 32) {
        fprintf(stderr, "link-add: name or kind too long\n");
        return 1;
    }
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof request.info);
    request.header.nlmsg_type = RTM_NEWLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL | NLM_F_ACK;
    request.info.ifi_family = AF_UNSPEC;
    addAttr(IFLA_IFNAME, name, strlen(name) + 1);
    rtattr *linkInfo = addAttr(IFLA_LINKINFO, nullptr, 0);
    addAttr(IFLA_INFO_KIND, kind, strlen(kind));
    linkInfo->rta_len =
        static_cast<unsigned short>(reinterpret_cast<char *>(&request) + request.header.nlmsg_len -
                                    reinterpret_cast<char *>(linkInfo));

    Fd sock(socket(AF_NETLINK, SOCK_RAW, NETLINK_ROUTE));
    if (sock.get() < 0) {
        perror("link-add: socket");
        return 1;
    }
    if (send(sock.get(), &request, request.header.nlmsg_len, 0) < 0) {
        perror("link-add: send");
        return 1;
    }
    char answer[512];
    ssize_t got = recv(sock.get(), answer, sizeof answer, 0);
    if (got < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr)))) {
        perror("link-add: recv");
        return 1;
    }
    const auto *reply = reinterpret_cast<const nlmsghdr *>(answer);
    if (reply->nlmsg_type == NLMSG_ERROR) {
        const auto *error = static_cast<const nlmsgerr *>(NLMSG_DATA(reply));
        if (error->error != 0) {
            fprintf(stderr, "link-add %s %s: %s\n", name, kind, strerror(-error->error));
            return 1;
        }
    }
    return 0;
}

// What slcand does: the line discipline makes the interface; it goes when the line closes.
int SlcanAttach(const char *tty) {
    Fd fd(open(tty, O_RDWR | O_NOCTTY));
    if (fd.get() < 0) {
        perror("slcan: open");
        return 1;
    }
    int disc = N_SLCAN;
    if (ioctl(fd.get(), TIOCSETD, &disc) < 0) {
        perror("slcan: TIOCSETD");
        return 1;
    }
    char name[IFNAMSIZ] = {0};
    if (ioctl(fd.get(), SIOCGIFNAME, name) == 0) printf("%s\n", name);
    fflush(stdout);
    for (;;) pause();
}

int CanUp(const char *iface, const char *bitrate) {
    if (can_set_bitrate(iface, static_cast<__u32>(strtoul(bitrate, nullptr, 0))) != 0) {
        fprintf(stderr, "can-up: %s: bit rate %s refused\n", iface, bitrate);
        return 1;
    }
    if (can_do_start(iface) != 0) {
        fprintf(stderr, "can-up: %s: start failed\n", iface);
        return 1;
    }
    return 0;
}

int CanInfo(const char *iface) {
    can_bittiming timing{};
    int state = -1;
    if (can_get_bittiming(iface, &timing) != 0 || can_get_state(iface, &state) != 0) {
        fprintf(stderr, "can-info: %s: not a CAN device\n", iface);
        return 1;
    }
    char path[64];
    snprintf(path, sizeof path, "/sys/class/net/%s/flags", iface);
    File flags(fopen(path, "r"));
    unsigned long value = 0;
    if (flags.get() == nullptr || fscanf(flags.get(), "%lx", &value) != 1) return 1;
    printf("bitrate %u state %d %s\n", timing.bitrate, state, (value & IFF_UP) ? "up" : "down");
    return 0;
}

int Rs485(const char *tty, const char *pad) {
    Fd fd(open(tty, O_RDWR | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
        perror("rs485: open");
        return 1;
    }
    serial_rs485 rs485{};
    rs485.flags = SER_RS485_ENABLED | SER_RS485_RX_DURING_TX;
    rs485.padding[0] = static_cast<__u32>(strtoul(pad, nullptr, 0));
    if (ioctl(fd.get(), TIOCSRS485, &rs485) < 0) {
        printf("TIOCSRS485 padding[0]=%s: %s\n", pad, strerror(errno));
        return 1;
    }
    serial_rs485 now{};
    if (ioctl(fd.get(), TIOCGRS485, &now) == 0) {
        printf("TIOCSRS485 padding[0]=%s: ok, flags now 0x%x\n", pad, now.flags);
    }
    return 0;
}

// The host learns of each line the moment syslogd writes it, without polling the guest.
int Marks(const char *logPath, const char *text, const char *outPath) {
    Fd out(open(outPath, O_WRONLY | O_NOCTTY));
    if (out.get() < 0) {
        perror("marks: output");
        return 1;
    }
    Fd notify(inotify_init1(IN_CLOEXEC));
    int logFd;
    while ((logFd = open(logPath, O_RDONLY)) < 0) sleep(1);
    Fd log(logFd);
    if (notify.get() < 0 || inotify_add_watch(notify.get(), logPath, IN_MODIFY) < 0) {
        perror("marks: inotify");
        return 1;
    }
    std::string line;
    unsigned long count = 0;
    auto tell = [&out, &count] {
        char number[32];
        int n = snprintf(number, sizeof number, "%lu\n", count);
        return write(out.get(), number, static_cast<size_t>(n)) == n;
    };
    for (;;) {
        char chunk[4096];
        ssize_t got = read(log.get(), chunk, sizeof chunk);
        if (got > 0) {
            for (ssize_t i = 0; i < got; ++i) {
                if (chunk[i] != '\n') {
                    line += chunk[i];
                    continue;
                }
                if (line.find(text) != std::string::npos) {
                    ++count;
                    if (!tell()) {
                        perror("marks: write");
                        return 1;
                    }
                }
                line.clear();
            }
            continue;
        }
        pollfd pfd = {notify.get(), POLLIN, 0};
        if (poll(&pfd, 1, 1000) > 0) {
            char events[4096];
            if (read(notify.get(), events, sizeof events) < 0) perror("marks: inotify read");
        } else if (!tell()) {
            // Once a second without news, the count again: a client that has just connected
            // learns where things stand (what was written before it came is gone).
            perror("marks: write");
            return 1;
        }
    }
}

int Usage() {
    fprintf(stderr,
            "usage: twin-guest can-echo IFACE [QUIET_ID] | slcan TTY | can-up IFACE BITRATE |\n"
            "       can-info IFACE | marks LOG TEXT OUT | touchd FIFO | link-add NAME KIND |\n"
            "       rs485 TTY PAD\n");
    return 64;
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    if ((argc == 3 || argc == 4) && strcmp(argv[1], "can-echo") == 0) {
        return CanEcho(argv[2], argc == 4 ? strtol(argv[3], nullptr, 0) : -1);
    }
    if (argc == 3 && strcmp(argv[1], "slcan") == 0) return SlcanAttach(argv[2]);
    if (argc == 4 && strcmp(argv[1], "can-up") == 0) return CanUp(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "can-info") == 0) return CanInfo(argv[2]);
    if (argc == 5 && strcmp(argv[1], "marks") == 0) return Marks(argv[2], argv[3], argv[4]);
    if (argc == 3 && strcmp(argv[1], "touchd") == 0) return TouchDaemon(argv[2]);
    if (argc == 4 && strcmp(argv[1], "link-add") == 0) return LinkAdd(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "rs485") == 0) return Rs485(argv[2], argv[3]);
    return Usage();
}
