#include "targets/flash_166.h"

#include "loaders/loader_image.h"

namespace qtx {

int Flash_166::SendLoader() {
    // One write: the ROM runs the first 32 bytes, which take the rest without a pause.
    WriteLoaderImage(kLoaderC166);
    Expect(0x00, "waiting after BSL has been sent", false);
    return 0;
}

}  // namespace qtx
