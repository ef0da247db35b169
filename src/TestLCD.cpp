#include "TestLCD.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>

#include "Log.h"
#include "UniqueFd.h"

namespace {

constexpr char LCD_FRAMEBUFFER[] = "/dev/fb0";
constexpr char LCD_IMAGE_FILE[] = "/hwtest/brackvale";
// Fixed by the board's display mode, not taken from the file or the device.
constexpr std::size_t LCD_IMAGE_SIZE = 1000000;

constexpr char LCD_MSG_OPEN_FB_FAILED[] = "Failed to open fb0\n";
constexpr char LCD_MSG_NEWLINE[] = "\n";
constexpr char LCD_MSG_INDENT[] = "  ";
constexpr char LCD_MSG_OPEN_IMAGE_FAILED[] = "Failed to open \n";
constexpr char LCD_MSG_READ_FAILED[] = "Failed to read \n";
constexpr char LCD_MSG_WRITE_FAILED[] = "There was an error writing to testfile.txt\n";

}  // namespace

int LCDTest() {
    UniqueFd framebuffer(open(LCD_FRAMEBUFFER, O_WRONLY | O_CLOEXEC));
    if (!framebuffer.valid()) {
        LogRawWithNul(LCD_MSG_OPEN_FB_FAILED);
        return 0;
    }
    LogRawWithNul(LCD_MSG_NEWLINE);
    LogRawWithNul(LCD_MSG_INDENT);
    LogRawWithNul(LCD_IMAGE_FILE);
    LogRawWithNul(LCD_MSG_NEWLINE);

    UniqueFd image(open(LCD_IMAGE_FILE, O_RDONLY | O_CLOEXEC));
    if (!image.valid()) {
        LogRawWithNul(LCD_MSG_OPEN_IMAGE_FAILED);
        return 0;
    }

    // Zeroed, so the part of the screen a short image does not cover is painted black.
    std::unique_ptr<unsigned char[]> copy(new (std::nothrow) unsigned char[LCD_IMAGE_SIZE]());
    if (!copy) {
        LOG_DEBUG("No memory for the %zu-byte image copy", LCD_IMAGE_SIZE);
        return 0;
    }
    if (read(image.get(), copy.get(), LCD_IMAGE_SIZE) < 0) {
        LogRawWithNul(LCD_MSG_READ_FAILED);
        return 0;
    }
    const ssize_t written = write(framebuffer.get(), copy.get(), LCD_IMAGE_SIZE);
    if (written == static_cast<ssize_t>(LCD_IMAGE_SIZE)) return 1;
    LogRawWithNul(LCD_MSG_WRITE_FAILED);
    return 0;
}

void TestLCD(stRecvPkt *, stResponsePkt *respPkt) {
    if (LCDTest() == 1) {
        SetPassResponse(respPkt, 0);
        LOG_INFO("LCD Test success\n");
    } else {
        SetFailResponse(respPkt);
        LOG_INFO("LCD Test fail\n");
    }
}
