"""A simulated board's files and settings: the test image and tone the agent plays, the
sandbox's board directory, the same options applied in the twin's guest."""

import os
import shlex
import shutil
import struct

LCD_WIDTH, LCD_HEIGHT, LCD_BYTES_PER_PIXEL = 800, 480, 4  # XRGB8888: bytes B, G, R, X
IMAGE_SIZE = 1000000  # what the LCD test copies from /hwtest/brackvale to /dev/fb0
LAB_ETH0_MAC = "02:00:00:00:00:10"  # what sim/netlab gives eth0 (its DHCP lease is fixed by it)
WAV_RATE = 8000


def lcd_test_image():
    """Colour bars over a brightness ramp, laid out for the simulated 800-pixel-wide LCD."""
    bars = [(255, 255, 255), (255, 255, 0), (0, 255, 255), (0, 255, 0),
            (255, 0, 255), (255, 0, 0), (0, 0, 255), (16, 16, 16)]
    width = LCD_WIDTH // len(bars)
    rows = IMAGE_SIZE // (LCD_BYTES_PER_PIXEL * LCD_WIDTH) + 1
    out = bytearray()
    for y in range(rows):
        level = 64 + (191 * y) // rows
        for r, g, b in bars:
            out += bytes(((b * level) // 255, (g * level) // 255, (r * level) // 255, 0)) * width
    return bytes(out[:IMAGE_SIZE])


def tone(seconds, rate=WAV_RATE):
    """A 500 Hz square tone at 8000 samples a second, 8-bit unsigned samples."""
    period = bytes([188] * 8 + [68] * 8)
    return period * (rate * seconds // len(period))


def wav(data, rate=WAV_RATE):
    """8-bit mono PCM."""
    return (b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 1, 1, rate, rate, 1, 8) + b"data" +
            struct.pack("<I", len(data)) + data)


def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb" if isinstance(content, bytes) else "w") as f:
        f.write(content)


def make_board(board, cfg):
    """The files the agent finds on a board (see sim/sandbox for how they are mounted)."""
    shutil.rmtree(board, ignore_errors=True)
    for d in ["hwtest", "mnt", "etc", "bin", "simctl", "dev/input", "sys/class/gpio",
              "sys/class/pwm"]:
        os.makedirs(os.path.join(board, d), exist_ok=True)
    write(os.path.join(board, "simctl", "calls.log"), "")
    if cfg["board_type"] != "none":
        write(os.path.join(board, "hwtest", "conf_settings.ini"),
              "[BOARD]\nBOARD TYPE=%s\n" % cfg["board_type"])
    write(os.path.join(board, "hwtest", "brackvale"), lcd_test_image())
    write(os.path.join(board, "hwtest", "audiotest.wav"), wav(tone(3)))
    # The LCD: a framebuffer file of the simulated panel's full size.
    write(os.path.join(board, "dev", "fb0"), bytes(LCD_WIDTH * LCD_HEIGHT * LCD_BYTES_PER_PIXEL))
    # Haptic driver: the GPIO line as it looks once exported, the PWM channel with its period.
    write(os.path.join(board, "sys/class/gpio/export"), "")
    write(os.path.join(board, "sys/class/gpio/pioB17/direction"), "in\n")
    write(os.path.join(board, "sys/class/gpio/pioB17/value"), "0\n")
    for name, value in [("period", "1000000"), ("duty_cycle", "0"), ("enable", "0")]:
        write(os.path.join(board, "sys/class/pwm/pwmchip0/pwm3", name), value + "\n")
    for name in cfg["usb_files"]:
        write(os.path.join(board, "mnt", name),
              "USB stick test file %s\n" % name)
    if cfg["bt"]:
        write(os.path.join(board, "simctl", "bt-devices"), "\n".join(cfg["bt"]) + "\n")
    if cfg["clock"] == "broken":
        write(os.path.join(board, "simctl", "rtc-broken"), "")


def setup_twin_board(ctl, cfg):
    """The board options, applied in the twin's guest."""
    q = shlex.quote
    steps = []
    if cfg["board_type"] == "none":
        steps.append("rm -f /hwtest/conf_settings.ini")
    else:
        steps.append("printf 'BOARD TYPE=%%s\\n' %s > /hwtest/conf_settings.ini"
                     % q(cfg["board_type"]))
    # The twin's NIC takes a new address only while it is down.
    steps.append("ifconfig eth0 down && ifconfig eth0 hw ether %s && ifconfig eth0 up"
                 % q(cfg["mac"]))
    for name in cfg["usb_files"]:
        path = "/mnt/" + name
        steps.append("mkdir -p %s && echo %s > %s" % (q(os.path.dirname(path)),
                                                      q("USB stick test file " + name), q(path)))
    if cfg["bt"]:
        steps.append("printf '%%s\\n' %s > /run/sim/bt-devices" % " ".join(q(b) for b in cfg["bt"]))
    else:
        steps.append("rm -f /run/sim/bt-devices")
    if cfg["clock"] == "broken":
        # busybox hwclock finds the clock at /dev/rtc0; without it the clock cannot be reached
        steps.append("mv /dev/rtc0 /dev/rtc0.unplugged")
    for step in steps:
        status, out = ctl.run(step)
        if status != 0:
            raise SystemExit("sim: setting up the twin failed: %s: %s" % (step, out))
