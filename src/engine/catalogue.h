// The target catalogue: the table of targets (target_table.h) and a target
// change, which makes a fresh flasher from the target's description.
#pragma once

#include <cstdint>

#include "engine/context.h"
#include "engine/target_table.h"

namespace qtx {

// A target change: deletes the flasher, stores the device code, shows the
// target's port record and creates a fresh flasher from its description.
// Returns -1 (nothing changed) for a code that selects no target.
int SelectTarget(Context& ctx, int32_t deviceCode);

}  // namespace qtx
