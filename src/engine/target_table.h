// The targets the tool can flash, as data. Each target describes itself in its
// own file (src/targets/) and registers there; everything generic (the lists of
// the window, the CLI and the port dialog, the settings record, the simulated
// board the tests use) reads these descriptions and nothing else.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "loaders/loader_image.h"

namespace qtx {

class X_Flash;
struct Context;

// One stretch of a target's flash as an application linked for it sees it, and
// where that stretch starts in the image the flasher takes.
struct FlashWindow {
    uint32_t address;
    uint32_t size;
    uint32_t imageOffset;
};

struct TargetRow {
    const char* itemText;      // text in the processor list, e.g. "C166/167"
    int32_t deviceCode;        // stored in the settings
    int listPosition;          // where the processor list shows it (ascending)
    const char* className;     // the flasher class make() creates, for messages
    // A fresh flasher for this target, constructed from this description.
    std::unique_ptr<X_Flash> (*make)(Context& ctx, const TargetRow& target);
    uint8_t eraseCommand;
    uint8_t eraseAck;
    int32_t idByte;
    int portRecord;            // index into Setup::Ports (PortRecordIndex of the code)
    const char* framing;       // the line format its boot loader needs ("8N1"); the dialog cannot change it
    std::span<const char* const> dialogRates;  // the rates the port dialog offers
    bool dialogSetsBaud;       // false: the ROM talks at the stored rate only, the dialog sets the name
    bool dialogSetsFraming;    // the dialog's OK also stores the framing field's text
    const LoaderImage* loader; // nullptr when the target needs none; it is sent to loader->loadAddress
    uint64_t maxImageSize;     // the largest firmware image the target holds, in bytes
    uint8_t erasedValue;       // what an erased flash cell reads
    bool hasEraseStage;        // EraseAndProgram sends the erase command (the SAM3 preloaders erase as they write)
    bool forcesBootMode;       // a silent boot loader may mean running firmware: switch it over the command protocol
    bool finishAfterRun;       // the run sends Finish after EraseAndProgram (its transfer does not)
    const char* simBoard;      // the qtxsim board that simulates it
    // The address at which an application linked for this target sees the start
    // of its flash: a HEX, S-record or ELF file's data at address A go to image
    // offset A - baseAddress. Not necessarily where the loader writes.
    uint32_t baseAddress;
    // A flash that is not one range from baseAddress (two banks) lists its
    // ranges here; empty: [baseAddress, baseAddress + maxImageSize) at offset 0.
    std::span<const FlashWindow> flashWindows;
    // The ELF machine numbers (e_machine) of programs for this target.
    std::span<const uint16_t> elfMachines;
    // Rates the loader can switch the line to for the data (ascending): each one
    // its UART makes within 1.5 % from the divider the boot rate left. Empty:
    // the data go at the port's rate.
    std::span<const uint32_t> fastRates;
};

// ELF machine numbers (e_machine) as the System V ABI registry and glibc's
// <elf.h> give them; 0x4688 is the number GNU binutils' xc16x port writes
// (include/elf/common.h, EM_XC16X), used beside the registered EM_C166.
inline constexpr uint16_t kElfMachinesArm[] = {40};            // EM_ARM
inline constexpr uint16_t kElfMachinesC166[] = {116, 0x4688};  // EM_C166, EM_XC16X
inline constexpr uint16_t kElfMachines8051[] = {165};          // EM_8051

// The fastest rate the target's loader offers for the data; 0 when none.
uint32_t FastestRate(const TargetRow& target);
// Why the data of target cannot go at rate; empty when the loader offers it.
std::string FastRateProblem(const TargetRow& target, uint32_t rate);

// The ranges of the target's flash, in image order.
std::vector<FlashWindow> FlashWindows(const TargetRow& target);

// Adds a description to the catalogue; a static object of this type in the
// target's own file registers it before main() runs. A second description with
// the same device code, text or list position is a build mistake: the program
// stops at start with a message.
struct TargetRegistration {
    explicit TargetRegistration(const TargetRow& row);
};

// In list order.
const std::vector<const TargetRow*>& Catalogue();
const TargetRow* FindTargetByCode(int32_t deviceCode);
const TargetRow* FindTargetByText(std::string_view itemText);  // case-insensitive
int ListIndexOfCode(int32_t deviceCode);                      // -1 when not listed

// The flasher class T made from the description, for a description's make.
template <class T>
std::unique_ptr<X_Flash> MakeFlasher(Context& ctx, const TargetRow& target) {
    return std::make_unique<T>(ctx, target);
}

}  // namespace qtx
