#include "targets/flash_163.h"

#include "loaders/loader_image.h"

namespace qtx {

int Flash_163::SendLoader() {
    WriteLoaderImage(kLoaderC163);
    Expect(0x00, "waiting after BSL has been sent.", false);
    return 0;
}

}  // namespace qtx
