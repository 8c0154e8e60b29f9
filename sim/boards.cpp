#include "sim/boards.h"

#include "sim/c16x_board.h"

namespace qtx::sim {

namespace {
// C167: identification byte 0x55, 512 KiB of external flash behind the loader.
const C16xTraits kC167{"c167", 0x55, &kLoaderC166, 512 * 1024};

template <const C16xTraits& T>
std::unique_ptr<Board> MakeC16x(const BoardConfig& config, BoardIo& io) {
    return std::make_unique<C16xBoard>(T, config, io);
}
}  // namespace

const std::vector<BoardKind>& KnownBoards() {
    static const std::vector<BoardKind> kinds = {
        {"c167", "C166/167 bootstrap loader (id 0x55), 810-byte loader, 512 KiB flash", MakeC16x<kC167>},
    };
    return kinds;
}

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
