// The targets the tool can flash, as data: list text, device code, flasher
// class (by name) and its construction parameters, port record, loader image,
// and what a run does differently for each. Creating the flasher is the
// catalogue's (catalogue.h), which sits above the flasher classes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "loaders/loader_image.h"

namespace qtx {

struct TargetRow {
    const char* itemText;      // text in the processor list, e.g. "C166/167"
    int32_t deviceCode;        // stored in the settings
    const char* className;     // "Flash_166": the class CreateFlasher makes
    uint8_t eraseCommand;
    uint8_t eraseAck;
    int32_t idByte;
    int portRecord;            // index into Setup::Ports (PortRecordIndex of the code)
    const LoaderImage* loader; // nullptr when the target needs none
    uint64_t maxImageSize;     // the largest firmware image the target holds, in bytes
    bool hasEraseStage;        // EraseAndProgram sends the erase command (the SAM3 preloaders erase as they write)
    bool forcesBootMode;       // a silent boot loader may mean running firmware: switch it over the command protocol
    bool finishAfterRun;       // the run sends Finish after EraseAndProgram (its transfer does not)
};

// In list order.
std::span<const TargetRow> Catalogue();
const TargetRow* FindTargetByCode(int32_t deviceCode);
const TargetRow* FindTargetByText(std::string_view itemText);  // case-insensitive
int ListIndexOfCode(int32_t deviceCode);                      // -1 when not listed

}  // namespace qtx
