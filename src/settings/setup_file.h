// flash.stp: the settings record stored byte for byte, with nothing added, in
// the start directory. Read once at start-up (and written back at once),
// written again when the program ends.
#pragma once

#include <string>

#include "settings/setup.h"

namespace qtx {

inline constexpr const char* kSetupFileName = "flash.stp";

// Plain file access to a settings image: exactly kSetupSize bytes or nothing.
// ReadSetupFile returns false (setup unchanged) for a missing or wrongly sized file.
bool ReadSetupFile(const std::string& path, Setup& setup, std::string* error = nullptr);
// Writes to a temporary file beside path and renames it over path, so a failed
// write never leaves a half-written file behind.
bool WriteSetupFile(const std::string& path, const Setup& setup, std::string* error = nullptr);

// flash.stp in dir; a relative "flash.stp" when dir is empty (unknown).
std::string SetupFilePath(const std::string& dir);

// Reads a settings file as start-up does (without writing anything back):
// false, setup unchanged, when it is missing or not exactly one record long.
bool ReadStoredSetup(const std::string& path, Setup& setup, std::string* error = nullptr);

// Start-up: fills setup from flash.stp in dir, or from the defaults when the
// file is missing or not exactly one record long (such a file is replaced),
// and writes it back at once. false, with the reason, when that write failed.
bool LoadSetupFile(const std::string& dir, Setup& setup, std::string* error = nullptr);

// Writes setup to flash.stp in dir, replacing the old file only once the new
// one is complete. false, with the reason, when it cannot be written.
bool SaveSetupFile(const std::string& dir, const Setup& setup, std::string* error = nullptr);

}  // namespace qtx
