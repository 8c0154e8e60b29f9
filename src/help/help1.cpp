#include "help/help1.h"

#include <QFontDatabase>

namespace qtx {

ReadmeTexts TFormHelp::Texts() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(11);
    return ReadmeTexts{
        QStringLiteral("FormHelp"),
        QStringLiteral("Help"),
        QSize(571, 478),
        font,
        QStringLiteral("readme.rtf"),
        QStringLiteral("File readme.rtf not found"),
        QStringLiteral("Error"),
        QStringLiteral("The file readme.rtf cannot be read: %1"),
        QString(),  // beside the program
    };
}

TFormHelp::TFormHelp(QWidget* parent) : ReadmeWindow(Texts(), parent) {}

}  // namespace qtx
