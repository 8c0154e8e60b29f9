// libFuzzer target: the command-frame receiver fed arbitrary bytes, with
// receive buffers of several sizes allocated exactly, so that any write or
// checksum read past a buffer is caught by AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "cmdproto/cmd_frame.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace qtx;
    if (size == 0) return 0;
    static constexpr uint32_t kSizes[] = {0, 1, 7, 8, 9, 16, 64, kCmdFrameBufferSize, 300};
    const uint32_t bufferSize = kSizes[data[0] % (sizeof kSizes / sizeof kSizes[0])];
    std::unique_ptr<uint8_t[]> buffer(bufferSize ? new uint8_t[bufferSize]() : nullptr);

    CmdLink link;
    link.rxBuffer = buffer.get();
    link.rxSize = bufferSize;
    for (std::size_t i = 1; i < size; ++i) {
        const int r = cmd_receive_byte(link, data[i]);
        Check(link.rxPos <= link.rxSize);
        switch (r) {
        case kRxIgnored:
            Check(link.rxExpected == 0);
            break;
        case kRxTaken:
            Check(link.rxExpected > 0);
            break;
        case kRxFrame: {
            Check(link.rxExpected == 0);
            const std::span<const uint8_t> frame(buffer.get(), bufferSize);
            Check(cmd_check_header(frame) == 0);
            const uint16_t length = CmdGet16(buffer.get() + kCmdLengthAt);
            Check(length <= bufferSize - kCmdHeaderSize);
            // A frame without data is complete after its header; its data
            // checksum field is not looked at.
            Check(length == 0 || cmd_check_data(frame) == 0);
            Check(!(link.rxFlags & (kRxOversize | kRxDropped)));
            break;
        }
        case kRxBadHeader:
        case kRxBadData:
            Check(link.rxExpected == 0);
            break;
        default:
            Check(false);
        }
    }
    // The checks on their own, over the raw input taken as a frame buffer.
    const std::span<const uint8_t> raw(data, size);
    cmd_check_header(raw);
    cmd_check_data(raw);
    return 0;
}
