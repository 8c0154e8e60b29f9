// flash.stp in the start directory: read once at start-up (and written back at
// once), written again when the program ends.
#pragma once

#include "engine/context.h"

namespace qtx {

// Fills ctx.setup from flash.stp in the current directory, or from the
// defaults when the file is missing or not exactly one record long (such a
// file is replaced). Records the start directory and saves at once. false when
// that save failed (see SaveSetup).
bool LoadSetup(Context& ctx);

// Writes ctx.setup to flash.stp in the start directory, replacing the old file
// only once the new one is complete. When it cannot be written the user is told
// "Cannot generate setup flash.stp" and the result is false: the face then ends
// the program with status 1.
bool SaveSetup(Context& ctx);

// Reads a settings file as start-up does (without writing anything back):
// false, setup unchanged, when it is missing or not exactly one record long.
bool ReadStoredSetup(const std::string& path, Setup& setup, std::string* error = nullptr);

// The path SaveSetup writes.
std::string SetupFilePath(const Context& ctx);

}  // namespace qtx
