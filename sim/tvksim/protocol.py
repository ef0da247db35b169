"""The fixture link's wire, named as in src/Protocol.h:
'<' id '#' L '#' body (L bytes) '#' checksum '>'."""

MSG_START_DESCRIPTOR = 60  # '<'
MSG_END_DESCRIPTOR = 62  # '>'
MSG_FIELD_DESCRIPTOR = 35  # '#'
MSG_PARAM_SEPARATOR = 59  # ';'

FRAME_START_OFFSET = 0
FRAME_CMD_OFFSET = 1
FRAME_FIELD1_OFFSET = 2
FRAME_LENGTH_OFFSET = 3
FRAME_FIELD2_OFFSET = 4
FRAME_HEADER_SIZE = 5  # '<' id '#' L '#': the body starts here
FRAME_TRAILER_SIZE = 3  # '#' checksum '>'
FRAME_OVERHEAD = FRAME_HEADER_SIZE + FRAME_TRAILER_SIZE

# A frame plus its trailing zero byte must fit 128 bytes.
MAX_BODY_LENGTH = 119
MAX_FRAME_SIZE = 128

ACK_PASS = 0
ACK_FAIL = 1

CMD_RTC_SET = 0x12
CMD_BLUETOOTH = 0x13
CMD_RTC_GET = 0x14
CMD_USB = 0x15
CMD_CAN = 0x16
CMD_LCD = 0x17
CMD_MAC_ADDRESS = 0x19
CMD_AUDIO = 0x20
CMD_HAPTIC_START = 0x21
CMD_TOUCH_SCREEN = 0x22
CMD_ETHERNET_CONFIG = 0x25
CMD_ETHERNET_PING = 0x26
CMD_WIFI_CONFIG = 0x27
CMD_WIFI_PING = 0x28
CMD_HAPTIC_STOP = 0x29
CMD_BOARD_TYPE = 0x30
CMD_VOLUME_SET = 0x31
CMD_VERSION = 0x32
CMD_WIFI_STOP = 0x33

# The agent logs this each time it has reopened and flushed its port: from then on it
# listens, and nothing sent to it is lost.
LISTENING_MARK = b"Reading (hit q, return to quit)"
