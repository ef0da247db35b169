"""The simulated board's touch panel: a tap is a few input events written to the panel's FIFO,
which opens for writing only while a touch test reads it."""

import errno
import os
import struct
import time

EV_SYN, EV_KEY, EV_ABS = 0, 1, 3
ABS_X, ABS_Y, BTN_TOUCH = 0, 1, 0x14A


def panel_path(board):
    return os.path.join(board, "dev", "input", "event0")


def touch_events(x, y):
    now = time.time()
    sec, usec = int(now), int((now % 1) * 1e6)

    def event(kind, code, value):
        # struct input_event of this machine: struct timeval, __u16 type, __u16 code, __s32 value
        return struct.pack("@llHHi", sec, usec, kind, code, value)

    return (event(EV_KEY, BTN_TOUCH, 1) + event(EV_ABS, ABS_X, x) + event(EV_ABS, ABS_Y, y) +
            event(EV_SYN, 0, 0))


def tap(board, x, y):
    """True once tapped; False while no touch test has the panel open."""
    try:
        fd = os.open(panel_path(board), os.O_WRONLY | os.O_NONBLOCK)
    except OSError as e:
        if e.errno == errno.ENXIO:
            return False
        raise
    try:
        os.write(fd, touch_events(x, y))
    finally:
        os.close(fd)
    return True
