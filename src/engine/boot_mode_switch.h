// Switching the firmware running on an ARM target into its ROM boot loader,
// as a run does when that boot loader stays silent: the command protocol's
// broadcast and boot-mode request, with the progress in the status bar and
// an Abort honoured throughout.
#pragma once

#include <cstdint>
#include <string>

#include "engine/context.h"

namespace qtx {

// BaudRate of the selected target's port record for the targets whose
// firmware can be switched (the catalogue says which); 0 for every other.
int32_t BootModeBaudFor(Context& ctx);

// Destroys ActivePort, broadcasts the autobaud text, then sends the boot-mode
// request on portName and waits for the acknowledgement. Shows its progress in
// the status bar. 0 accepted; -1 the port cannot be opened; -2 no valid reply;
// -3 refused; -4 a reply with neither flag; kBootModeStopped when the active
// flasher's Abort flag was set meanwhile (it is polled at least every 200 ms,
// so an abort ends the switch within a fraction of a second). The port is left
// closed with its earlier settings.
int force_boot_mode(Context& ctx, const std::string& portName);

}  // namespace qtx
