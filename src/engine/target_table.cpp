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

TargetRegistration::TargetRegistration(const TargetRow& row) {
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
