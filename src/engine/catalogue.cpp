#include "engine/catalogue.h"

#include "engine/x_flash.h"
#include "targets/flashers.h"

namespace qtx {

int SelectTarget(Context& ctx, int32_t deviceCode) {
    const TargetRow* row = FindTargetByCode(deviceCode);
    if (!row) return -1;
    auto flasher = CreateFlasher(row->className, ctx);
    if (!flasher) return -1;
    ctx.ActiveFlasher.reset();
    ctx.setup.SetDeviceCode(row->deviceCode);
    ctx.display.ShowPortRecord(ctx.setup.Ports[row->portRecord]);
    flasher->EraseCommand = row->eraseCommand;
    flasher->EraseAck = row->eraseAck;
    flasher->IdByte = row->idByte;
    ctx.ActiveFlasher = std::move(flasher);
    return 0;
}

}  // namespace qtx
