// One flashing run: the sequence behind the FLASH button, shared by the
// window and the command-line tool.
#pragma once

#include "engine/context.h"

namespace qtx {

enum class RunOutcome {
    Programmed,
    PortError,        // the port could not be opened (user told by a message)
    BootstrapFailed,  // BSL panel shows the error
    EraseFailed,
    ProgramFailed,
    Aborted,
    NoBoot,           // ARM targets: the firmware could not be switched to its boot loader
    BadInput,         // the firmware file was refused before anything was sent
};

const char* OutcomeName(RunOutcome o);

// Runs one flash of ctx.FlashFilePath into the selected target. Leaves the port
// closed, a fresh flasher in place and FLASH enabled, whatever happened.
RunOutcome FlashRun(Context& ctx);

}  // namespace qtx
