// The boards qtxsim can simulate, by name. Each board family registers its
// boards in its own *_board.cpp, so a new board needs no edit here.
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
    int listPosition = 0;      // where --help lists it (ascending)
    bool appFirmware = false;  // can start in its application firmware (--app-running)
};

// A static object of this type registers a board before main() runs; a second
// board of the same name stops the program at start.
struct BoardRegistration {
    explicit BoardRegistration(BoardKind kind);
};

// In list order.
const std::vector<BoardKind>& KnownBoards();
const BoardKind* FindBoard(const std::string& name);
// "c167, ..." for messages.
std::string KnownBoardNames();

}  // namespace qtx::sim
