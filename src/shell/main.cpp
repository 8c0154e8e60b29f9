// Program entry of the window face.
#include <QApplication>

#include <cstdio>
#include <cstring>

#include "help/help_check.h"
#include "shell/flmain.h"
#include "version/version.h"

int main(int argc, char* argv[]) {
    // Answered before a window system is needed.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s\n", qtx::VersionLine("qtxflash").c_str());
        return 0;
    }
    QApplication app(argc, argv);
    qtx::SetUpApplication();
    if (argc == 2 && std::strcmp(argv[1], "--check-help") == 0) return qtx::CheckHelpFiles();

    qtx::TBSL BSL(&qtx::TBSL::StoredSetup);
    // A stored target that the program does not know ends it before the window shows.
    if (BSL.FatalStatus() != 0) {
        std::fputs(BSL.FatalMessage().c_str(), stderr);
        return BSL.FatalStatus();
    }
    // The readme and info windows, hidden until the Help menu opens them.
    BSL.CreateHelpWindows();
    BSL.show();
    const int status = app.exec();
    // Settings that could not be written at the end still end the program with their status.
    return status != 0 ? status : BSL.Ctx().FatalExitStatus;
}
