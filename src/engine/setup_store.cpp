#include "engine/setup_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace qtx {

namespace {
constexpr const char* kFileName = "flash.stp";
}

std::string SetupFilePath(const Context& ctx) {
    if (ctx.StartDirectory.empty()) return kFileName;
    return ctx.StartDirectory == "/" ? "/" + std::string(kFileName) : ctx.StartDirectory + "/" + kFileName;
}

bool ReadStoredSetup(const std::string& path, Setup& setup, std::string* error) {
    if (!ReadSetupFile(path, setup, error)) return false;
    // Its ROM loader only talks at 19200, whatever was stored.
    setup.Ports[4].SetBaudRate(19200);
    return true;
}

bool LoadSetup(Context& ctx) {
    char dir[4096];
    ctx.StartDirectory = CurrentDirText(dir, sizeof dir) == 0 ? dir : "";
    const std::string path = SetupFilePath(ctx);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        DefaultSetup(ctx.setup);
        return SaveSetup(ctx);
    }
    if (!S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) != kSetupSize ||
        !ReadStoredSetup(path, ctx.setup)) {
        // Not a settings record: start again from the defaults (SaveSetup replaces it).
        if (S_ISREG(st.st_mode)) ::unlink(path.c_str());
        DefaultSetup(ctx.setup);
        return SaveSetup(ctx);
    }
    return SaveSetup(ctx);
}

bool SaveSetup(Context& ctx) {
    std::string why;
    if (WriteSetupFile(SetupFilePath(ctx), ctx.setup, &why)) return true;
    ctx.display.SetStatusText(why);
    ctx.display.MessageBox("Cannot generate setup flash.stp", "", MessageIcon::Error);
    ctx.FatalExitStatus = 1;
    return false;
}

}  // namespace qtx
