#include "help/help_check.h"

#include <QFile>
#include <QTextDocument>
#include <QTextEdit>

#include <cstdio>

#include "help/help1.h"
#include "help/hilfe1.h"

namespace qtx {

int CheckHelpFiles() {
    TFormHelp help;
    TFormHilfe hilfe;
    int status = 0;
    for (ReadmeWindow* window : {static_cast<ReadmeWindow*>(&help), static_cast<ReadmeWindow*>(&hilfe)}) {
        const QByteArray name = window->Texts().fileName.toLocal8Bit();
        const QString path = window->FilePath();
        // Checked before the window loads it: a missing file would open a message box.
        QFile file(path);
        if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "qtxflash: %s: %s\n", name.constData(),
                         path.isEmpty() ? "not found in the working directory, beside the program or in "
                                          "../share/qtxflash from it"
                                        : file.errorString().toLocal8Bit().constData());
            status = 1;
            continue;
        }
        window->FormActivate();
        const int characters = window->Redit()->document()->characterCount() - 1;
        std::printf("%s: %s (%d characters)\n", name.constData(), path.toLocal8Bit().constData(), characters);
        if (characters <= 0) status = 1;
    }
    return status;
}

}  // namespace qtx
