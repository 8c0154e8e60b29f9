#include "help/hilfe1.h"

#include <QFontDatabase>

namespace qtx {

ReadmeTexts TFormHilfe::Texts() {
    // A fixed-pitch window font at 13 pixels, as the German window always had.
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(13);
    return ReadmeTexts{
        QStringLiteral("FormHilfe"),
        QStringLiteral("Hilfe"),
        QSize(583, 453),
        font,
        QStringLiteral("liesmich.rtf"),
        QStringLiteral("Datei \"liesmich.rtf\" nicht gefunden"),
        QStringLiteral("Fehler"),
        QStringLiteral("Die Datei \"liesmich.rtf\" kann nicht gelesen werden: %1"),
        QString(),  // beside the program
    };
}

TFormHilfe::TFormHilfe(QWidget* parent) : ReadmeWindow(Texts(), parent) {}

}  // namespace qtx
