#include "engine/catalogue.h"

#include "engine/x_flash.h"

namespace qtx {

int SelectTarget(Context& ctx, int32_t deviceCode) {
    const TargetRow* row = FindTargetByCode(deviceCode);
    if (!row) return -1;
    auto flasher = row->make(ctx, *row);
    if (!flasher) return -1;
    ctx.ActiveFlasher.reset();
    ctx.setup.SetDeviceCode(row->deviceCode);
    // The dialog cannot change the line format: it is the boot loader's. A
    // record that a settings file from before this target gave another format
    // (a port record once unused) gets the target's.
    PortRecord& record = ctx.setup.Ports[row->portRecord];
    if (record.FramingText() != row->framing) record.SetFraming(row->framing);
    ctx.display.ShowPortRecord(record);
    ctx.ActiveFlasher = std::move(flasher);
    return 0;
}

}  // namespace qtx
