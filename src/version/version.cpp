#include "version/version.h"

#include "qtx_git_revision.h"

namespace qtx {

std::string VersionLine(const std::string& program) {
    return program + " " + QTX_VERSION + " (git " + QTX_GIT_REVISION + ")";
}

}  // namespace qtx
