#include "sim/boards.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace qtx::sim {

namespace {

std::vector<BoardKind>& Registry() {
    static std::vector<BoardKind> kinds;
    return kinds;
}

}  // namespace

BoardRegistration::BoardRegistration(BoardKind kind) {
    auto& kinds = Registry();
    if (std::any_of(kinds.begin(), kinds.end(), [&](const BoardKind& k) { return k.name == kind.name; })) {
        std::fprintf(stderr, "qtxsim: two boards are named %s\n", kind.name.c_str());
        std::abort();
    }
    const auto at = std::upper_bound(kinds.begin(), kinds.end(), kind.listPosition,
                                     [](int p, const BoardKind& k) { return p < k.listPosition; });
    kinds.insert(at, std::move(kind));
}

const std::vector<BoardKind>& KnownBoards() { return Registry(); }

const BoardKind* FindBoard(const std::string& name) {
    for (const auto& k : KnownBoards())
        if (k.name == name) return &k;
    return nullptr;
}

std::string KnownBoardNames() {
    std::string s;
    for (const auto& k : KnownBoards()) s += (s.empty() ? "" : ", ") + k.name;
    return s;
}

}  // namespace qtx::sim
