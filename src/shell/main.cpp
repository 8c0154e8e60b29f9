// Program entry of the window face.
#include <QApplication>

#include <cstdio>

#include "shell/flmain.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qtxflash"));
    // The task-bar text; the trailing blank is part of the title.
    QApplication::setApplicationDisplayName(QStringLiteral("QTX Flash "));

    qtx::TBSL BSL(&qtx::TBSL::StoredSetup);
    // A stored target that the program does not know ends it before the window shows.
    if (BSL.FatalStatus() != 0) {
        std::fputs(BSL.FatalMessage().c_str(), stderr);
        return BSL.FatalStatus();
    }
    // The readme and info windows, hidden until the Help menu opens them.
    BSL.CreateHelpWindows();
    BSL.show();
    return app.exec();
}
