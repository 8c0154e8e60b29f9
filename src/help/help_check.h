// qtxflash --check-help: whether the window finds its guides where it was
// started, as Help and Hilfe would open them. For the install test and for
// a packager; prints where each guide was found.
#pragma once

namespace qtx {

// Needs the application object. 0 when both guides are found and read, else 1.
int CheckHelpFiles();

}  // namespace qtx
