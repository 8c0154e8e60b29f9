#include "targets/flash_4020.h"

#include "loaders/loader_image.h"

namespace qtx {

int Flash_4020::SendLoader() {
    const LoaderImage& image = kLoaderGP4020;
    // The port has just been opened: the zero byte is the first on the line.
    // Without an identification step a target that is not in its ROM loader
    // shows only as the timeout after the whole image.
    SendByte(0x00);
    SendByte(static_cast<uint8_t>(image.size >> 8));
    SendByte(static_cast<uint8_t>(image.size & 0xFF));
    WriteLoaderImage(image);
    Expect(0x00, "waiting after BSL has been sent", false);
    return 0;
}

}  // namespace qtx
