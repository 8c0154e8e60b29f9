// What --version prints, the same for every program.
#pragma once

#include <string>

namespace qtx {

// "qtxflash-cli 1.13 (git 27225d1c0ffe)": the program's name, the project's
// version and the git revision the program was built from.
std::string VersionLine(const std::string& program);

}  // namespace qtx
