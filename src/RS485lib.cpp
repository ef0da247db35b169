#include "RS485lib.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "CommonDef.h"
#include "Log.h"
#include "Protocol.h"
#include "UniqueFd.h"

const char *rs485PortPath = SERIAL_PORT_PATH;

namespace {

constexpr uint32_t RS485_PAD_SEND = 129;
constexpr uint32_t RS485_PAD_RECEIVE = 9;
constexpr unsigned OPEN_RETRY_SECONDS = 1;

// True while the port keeps failing to open, so a dead port logs once, not once a second.
bool gOpenFailing = false;

int OpenPort() {
    int fd = open(rs485PortPath, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (!gOpenFailing) {
            LOG_INFO("cannot open %s: %s", rs485PortPath, std::strerror(errno));
            gOpenFailing = true;
        }
    } else if (gOpenFailing) {
        LOG_INFO("%s open again", rs485PortPath);
        gOpenFailing = false;
    }
    return fd;
}

void ConfigurePort(int fd, bool receiving) {
    struct serial_rs485 rs485;
    std::memset(&rs485, 0, sizeof rs485);
    rs485.flags = SER_RS485_ENABLED | SER_RS485_RX_DURING_TX;
    rs485.delay_rts_before_send = 0;
    rs485.padding[0] = receiving ? RS485_PAD_RECEIVE : RS485_PAD_SEND;
    int rc = ioctl(fd, TIOCSRS485, &rs485);
    if (rc < 0 && errno == EINVAL) {
        // Kernels from 6.0 read that first word as the receive address and refuse it unless
        // address mode is on; older ones ignore it. Without it the port still gets RS-485 mode.
        rs485.padding[0] = 0;
        rc = ioctl(fd, TIOCSRS485, &rs485);
    }
    if (rc < 0) {
        perror("unable to set IOCTL:");
    }

    struct termios tty;
    std::memset(&tty, 0, sizeof tty);
    tcgetattr(fd, &tty);
    tty.c_cflag &= ~(CBAUD | CBAUDEX | CSIZE | PARENB | CRTSCTS);
    tty.c_cflag |= B19200 | CS8 | CLOCAL;
    if (receiving) tty.c_cflag |= CREAD;
    tty.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | INLCR | ICRNL | IXON);
    tty.c_oflag &= ~(OPOST | OLCUC | ONLCR | OCRNL | ONOCR | ONLRET | OFILL);
    tcflag_t lflagOff = ISIG | ICANON | ECHO | ECHOK | ECHONL | ECHOCTL | ECHOPRT | IEXTEN;
    if (receiving) lflagOff |= ECHOE | ECHOKE;
    tty.c_lflag &= ~lflagOff;
    tty.c_cc[VMIN] = 1;
    tty.c_cc[VTIME] = receiving ? 5 : 0;
    if (tcsetattr(fd, TCSANOW, &tty) != 0) {
        LOG_INFO("cannot set up %s: %s", rs485PortPath, std::strerror(errno));
    }
    tcgetattr(fd, &tty);
    tcflush(fd, TCIFLUSH);
}

// Waits (no time limit) for one byte on the open port. A port that errors (a hung-up line is
// readable forever without a byte) ends this open after a pause, so the caller reopens it.
int ReadPortByte(void *context, uint8_t *byte) {
    int fd = *static_cast<int *>(context);
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        int ready = select(fd + 1, &set, nullptr, nullptr, nullptr);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        ssize_t got = read(fd, byte, 1);
        if (got == 1) return 1;
        if (got == 0 || (errno != EAGAIN && errno != EINTR)) break;
    }
    sleep(OPEN_RETRY_SECONDS);
    return 0;
}

bool FramingValid(const uint8_t *data, int lastIndex, uint8_t length) {
    auto at = [&](int index, uint8_t want) { return index <= lastIndex && data[index] == want; };
    return at(FRAME_START_OFFSET, MSG_START_DESCRIPTOR) &&
           at(FRAME_FIELD1_OFFSET, MSG_FIELD_DESCRIPTOR) &&
           at(FRAME_FIELD2_OFFSET, MSG_FIELD_DESCRIPTOR) &&
           at(FrameField3Offset(length), MSG_FIELD_DESCRIPTOR) &&
           at(FrameEndOffset(length), MSG_END_DESCRIPTOR);
}

}  // namespace

int ModbusSend(const uint8_t *RequestData, uint8_t length) {
    UniqueFd port(OpenPort());
    if (port.get() < 0) return 0;
    ConfigurePort(port.get(), false);
    LOG_INFO("Writing %s\n", reinterpret_cast<const char *>(RequestData));
    const ssize_t written = write(port.get(), RequestData, length);
    if (written != static_cast<ssize_t>(length)) {
        LOG_INFO("response not sent whole on %s: %zd of %u bytes (%s)", rs485PortPath, written,
                 static_cast<unsigned>(length), written < 0 ? std::strerror(errno) : "short write");
    }
    return 0;
}

int RS485CollectFrame(RS485ByteSource nextByte, void *context, uint8_t *Response) {
    uint8_t data[MAX_FRAME_SIZE];
    std::memset(data, 0, sizeof data);
    uint8_t byte = 0;

    do {
        if (!nextByte(context, &byte)) return -1;
        LOG_DEBUG("%02x", byte);
    } while (byte != MSG_START_DESCRIPTOR);

    data[FRAME_START_OFFSET] = MSG_START_DESCRIPTOR;
    int k = 1;
    uint8_t msgLen = MAX_FRAME_SIZE;
    for (;;) {
        if (!nextByte(context, &byte)) return -1;
        if (k >= MAX_FRAME_SIZE - 1) return 0;
        data[k] = byte;
        if (k == FRAME_LENGTH_OFFSET) msgLen = static_cast<uint8_t>(byte + FRAME_OVERHEAD);
        LOG_DEBUG("%02x", byte);
        if (k + 1 >= msgLen) break;
        if (byte == MSG_START_DESCRIPTOR) {
            data[FRAME_START_OFFSET] = MSG_START_DESCRIPTOR;
            k = 1;
        } else {
            ++k;
        }
    }
    data[k + 1] = 0;
    uint8_t length = data[FRAME_LENGTH_OFFSET];
    LOG_DEBUG("Data length %d", length);
    std::memcpy(Response, data, static_cast<size_t>(k) + 2);
    return FramingValid(data, k, length) ? 1 : 2;
}

int ModbusRecieve(uint8_t *Response) {
    for (;;) {
        UniqueFd port(OpenPort());
        if (port.get() < 0) {
            sleep(OPEN_RETRY_SECONDS);
            continue;
        }
        ConfigurePort(port.get(), true);
        LOG_DEBUG("%s...\n", RS485_LISTENING_TEXT);
        int fd = port.get();
        int result = RS485CollectFrame(ReadPortByte, &fd, Response);
        if (result >= 0) return result;
    }
}
