// The boards qtxsim can simulate, by name.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/board.h"

namespace qtx::sim {

struct BoardKind {
    std::string name;          // as given to --board
    std::string description;   // one line for --help
    std::function<std::unique_ptr<Board>(const BoardConfig&, BoardIo&)> make;
};

const std::vector<BoardKind>& KnownBoards();
const BoardKind* FindBoard(const std::string& name);
// "c167, ..." for messages.
std::string KnownBoardNames();

}  // namespace qtx::sim
