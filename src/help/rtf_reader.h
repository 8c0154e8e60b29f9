// A small reader for Rich Text Format that fills a QTextDocument: enough of
// the format for hand-written and word-processor readme files (groups, control
// words and symbols, paragraphs and line breaks, bold, italics, underline,
// strike-out, super- and subscript, font sizes, the font and colour tables,
// paragraph alignment, indents and spacing, \'hh bytes in Windows-1252, \uN
// with its fallback text). Destinations it does not show (pictures, style
// sheets, document info, ignorable \* groups, ...) are skipped whole.
//
// Input from outside is never trusted: nesting, numbers and table sizes are
// bounded, a broken file yields whatever text could be read, and a file that
// is not RTF at all is shown as plain text.
#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringList>

class QTextDocument;

namespace qtx {

struct RtfReadResult {
    bool isRtf = false;      // the data started with "{\rtf"
    bool complete = false;   // every group was closed and nothing but blanks followed
    QStringList notes;       // what was repaired or left out, for diagnostics
};

// Limits that keep a hostile file from exhausting memory.
inline constexpr int kRtfMaxDepth = 1000;          // deeper groups are read as part of their parent
inline constexpr int kRtfMaxTableEntries = 4096;   // fonts and colours each
inline constexpr int kRtfMaxFontNameLength = 256;

// Replaces the content of doc with what data holds. Text without a font of its
// own uses doc's default font family.
RtfReadResult ReadRtf(QByteArrayView data, QTextDocument& doc);

// Windows-1252 byte to Unicode (the five unassigned bytes map to themselves,
// as the platform conversion does).
char16_t Cp1252ToUnicode(unsigned char byte);

// Bytes of a text file that is not RTF: UTF-8 when it is valid UTF-8, else Windows-1252.
QString DecodePlainText(QByteArrayView data);

}  // namespace qtx
