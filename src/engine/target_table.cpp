#include "engine/target_table.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace qtx {

namespace {

std::vector<const TargetRow*>& Registry() {
    static std::vector<const TargetRow*> rows;
    return rows;
}

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::vector<FlashWindow> FlashWindows(const TargetRow& target) {
    if (!target.flashWindows.empty()) return {target.flashWindows.begin(), target.flashWindows.end()};
    // maxImageSize never exceeds a few MiB, so the window fits 32 bits.
    return {FlashWindow{target.baseAddress, static_cast<uint32_t>(target.maxImageSize), 0}};
}

uint32_t FastestRate(const TargetRow& target) { return target.fastRates.empty() ? 0 : target.fastRates.back(); }

std::string FastRateProblem(const TargetRow& target, uint32_t rate) {
    if (std::find(target.fastRates.begin(), target.fastRates.end(), rate) != target.fastRates.end()) return {};
    const std::string head = std::string(target.itemText) + " cannot take the data at " + std::to_string(rate) + " baud";
    if (target.fastRates.empty()) return head + ": its loader has no fast-data mode";
    std::string offered;
    for (uint32_t r : target.fastRates) offered += (offered.empty() ? "" : ", ") + std::to_string(r);
    return head + ": its UART cannot make that rate within 1.5 % (offered: " + offered + ")";
}

TargetRegistration::TargetRegistration(const TargetRow& row) {
    // A window that reaches past the image or past 4 GiB would place a file's
    // data where the flasher never sends it.
    for (const FlashWindow& w : FlashWindows(row)) {
        if (w.size == 0 || uint64_t{w.imageOffset} + w.size > row.maxImageSize ||
            uint64_t{w.address} + w.size > (uint64_t{1} << 32)) {
            std::fprintf(stderr, "qtxflash: target \"%s\" has a flash window outside its image\n", row.itemText);
            std::abort();
        }
    }
    auto& rows = Registry();
    for (const TargetRow* r : rows) {
        if (r->deviceCode == row.deviceCode || SameText(r->itemText, row.itemText) ||
            r->listPosition == row.listPosition) {
            std::fprintf(stderr, "qtxflash: targets \"%s\" and \"%s\" share a device code, text or list position\n",
                         r->itemText, row.itemText);
            std::abort();
        }
    }
    rows.insert(std::upper_bound(rows.begin(), rows.end(), &row,
                                 [](const TargetRow* a, const TargetRow* b) { return a->listPosition < b->listPosition; }),
                &row);
}

const std::vector<const TargetRow*>& Catalogue() { return Registry(); }

const TargetRow* FindTargetByCode(int32_t deviceCode) {
    for (const TargetRow* row : Registry())
        if (row->deviceCode == deviceCode) return row;
    return nullptr;
}

const TargetRow* FindTargetByText(std::string_view text) {
    for (const TargetRow* row : Registry())
        if (SameText(row->itemText, text)) return row;
    return nullptr;
}

int ListIndexOfCode(int32_t deviceCode) {
    const auto& rows = Registry();
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i]->deviceCode == deviceCode) return static_cast<int>(i);
    return -1;
}

}  // namespace qtx
