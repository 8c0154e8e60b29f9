#include "help/rtf_reader.h"

#include <QColor>
#include <QFont>
#include <QStringDecoder>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qtx {

char16_t Cp1252ToUnicode(unsigned char byte) {
    // 0x80..0x9F differ from Latin-1; 0x81, 0x8D, 0x8F, 0x90 and 0x9D are unassigned.
    static constexpr std::array<char16_t, 32> kHigh = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
    };
    if (byte >= 0x80 && byte <= 0x9F) return kHigh[byte - 0x80];
    return byte;
}

QString DecodePlainText(QByteArrayView data) {
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(data);
    if (!utf8.hasError()) return text;
    text.clear();
    text.reserve(data.size());
    for (char c : data) text.append(QChar(Cp1252ToUnicode(static_cast<unsigned char>(c))));
    return text;
}

namespace {

enum class Dest : uint8_t { Text, Skip, FontTable, ColorTable };

struct CharState {
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strike = false;
    bool hidden = false;
    int8_t vertical = 0;  // 1 superscript, -1 subscript
    int halfPoints = 24;  // the format's default size, 12 pt
    int font = -1;        // font table number; -1: the document's default font
    int fg = 0;           // colour table index; 0: automatic
    int bg = 0;
    bool operator==(const CharState&) const = default;
};

struct ParaState {
    int align = 0;  // 0 left, 1 centre, 2 right, 3 justified
    int left = 0, right = 0, first = 0, before = 0, after = 0;  // twips
};

struct Group {
    CharState ch;
    ParaState para;
    Dest dest = Dest::Text;
    int uc = 1;  // fallback characters after \uN
};

struct FontEntry {
    QString name;
    QFont::StyleHint hint = QFont::AnyStyle;
    bool nameDone = false;
};

enum class Kw {
    Rtf, Ansicpg, Deff, FontTbl, ColorTbl, Skip,
    Par, Line, Tab, Page, Cell, Row,
    Pard, Plain, Ql, Qc, Qr, Qj, Li, Ri, Fi, Sb, Sa,
    B, I, Ul, UlNone, Strike, Super, Sub, NoSuperSub, Hidden,
    Fs, F, Cf, Cb, Red, Green, Blue,
    FNil, FRoman, FSwiss, FModern, FScript, FDecor, FTech,
    U, Uc, Bin,
    Emdash, Endash, Emspace, Enspace, Qmspace, Bullet, Lquote, Rquote, Ldblquote, Rdblquote,
    Zwj, Zwnj, Ltrmark, Rtlmark,
};

const std::unordered_map<std::string_view, Kw>& Keywords() {
    static const std::unordered_map<std::string_view, Kw> table = {
        {"rtf", Kw::Rtf}, {"ansicpg", Kw::Ansicpg}, {"deff", Kw::Deff},
        {"fonttbl", Kw::FontTbl}, {"colortbl", Kw::ColorTbl},
        // Destinations whose content is not part of the visible text.
        {"stylesheet", Kw::Skip}, {"info", Kw::Skip}, {"pict", Kw::Skip}, {"object", Kw::Skip},
        {"objdata", Kw::Skip}, {"header", Kw::Skip}, {"headerl", Kw::Skip}, {"headerr", Kw::Skip},
        {"headerf", Kw::Skip}, {"footer", Kw::Skip}, {"footerl", Kw::Skip}, {"footerr", Kw::Skip},
        {"footerf", Kw::Skip}, {"footnote", Kw::Skip}, {"annotation", Kw::Skip}, {"atnid", Kw::Skip},
        {"atnauthor", Kw::Skip}, {"listtable", Kw::Skip}, {"listoverridetable", Kw::Skip},
        {"revtbl", Kw::Skip}, {"rsidtbl", Kw::Skip}, {"generator", Kw::Skip}, {"xmlnstbl", Kw::Skip},
        {"themedata", Kw::Skip}, {"colorschememapping", Kw::Skip}, {"latentstyles", Kw::Skip},
        {"datastore", Kw::Skip}, {"fldinst", Kw::Skip}, {"filetbl", Kw::Skip}, {"pn", Kw::Skip},
        {"pntxta", Kw::Skip}, {"pntxtb", Kw::Skip}, {"nonshppict", Kw::Skip}, {"shp", Kw::Skip},
        {"shpinst", Kw::Skip}, {"template", Kw::Skip}, {"docvar", Kw::Skip}, {"pgdsctbl", Kw::Skip},
        {"mmathPr", Kw::Skip}, {"bkmkstart", Kw::Skip}, {"bkmkend", Kw::Skip}, {"txe", Kw::Skip},
        {"xe", Kw::Skip}, {"tc", Kw::Skip}, {"private", Kw::Skip}, {"falt", Kw::Skip},
        {"panose", Kw::Skip}, {"author", Kw::Skip}, {"operator", Kw::Skip}, {"title", Kw::Skip},
        {"subject", Kw::Skip}, {"keywords", Kw::Skip}, {"comment", Kw::Skip}, {"doccomm", Kw::Skip},
        {"par", Kw::Par}, {"line", Kw::Line}, {"tab", Kw::Tab}, {"page", Kw::Page}, {"sect", Kw::Page},
        {"cell", Kw::Cell}, {"row", Kw::Row},
        {"pard", Kw::Pard}, {"plain", Kw::Plain}, {"ql", Kw::Ql}, {"qc", Kw::Qc}, {"qr", Kw::Qr},
        {"qj", Kw::Qj}, {"li", Kw::Li}, {"ri", Kw::Ri}, {"fi", Kw::Fi}, {"sb", Kw::Sb}, {"sa", Kw::Sa},
        {"b", Kw::B}, {"i", Kw::I}, {"ul", Kw::Ul}, {"uld", Kw::Ul}, {"uldb", Kw::Ul}, {"ulw", Kw::Ul},
        {"ulth", Kw::Ul}, {"uldash", Kw::Ul}, {"ulwave", Kw::Ul}, {"ulnone", Kw::UlNone},
        {"strike", Kw::Strike}, {"striked", Kw::Strike}, {"super", Kw::Super}, {"sub", Kw::Sub},
        {"nosupersub", Kw::NoSuperSub}, {"v", Kw::Hidden},
        {"fs", Kw::Fs}, {"f", Kw::F}, {"cf", Kw::Cf}, {"cb", Kw::Cb}, {"highlight", Kw::Cb},
        {"red", Kw::Red}, {"green", Kw::Green}, {"blue", Kw::Blue},
        {"fnil", Kw::FNil}, {"froman", Kw::FRoman}, {"fswiss", Kw::FSwiss}, {"fmodern", Kw::FModern},
        {"fscript", Kw::FScript}, {"fdecor", Kw::FDecor}, {"ftech", Kw::FTech},
        {"u", Kw::U}, {"uc", Kw::Uc}, {"bin", Kw::Bin},
        {"emdash", Kw::Emdash}, {"endash", Kw::Endash}, {"emspace", Kw::Emspace},
        {"enspace", Kw::Enspace}, {"qmspace", Kw::Qmspace}, {"bullet", Kw::Bullet},
        {"lquote", Kw::Lquote}, {"rquote", Kw::Rquote}, {"ldblquote", Kw::Ldblquote},
        {"rdblquote", Kw::Rdblquote}, {"zwj", Kw::Zwj}, {"zwnj", Kw::Zwnj}, {"ltrmark", Kw::Ltrmark},
        {"rtlmark", Kw::Rtlmark},
    };
    return table;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Word processors write sizes far below these; the bounds keep layout sane.
constexpr int kMinHalfPoints = 2;
constexpr int kMaxHalfPoints = 288;
constexpr int kMaxTwips = 20000;   // about 14 inches
constexpr int kTwipsPerPixel = 15; // 1440 twips per inch, 96 pixels per inch
constexpr int kMaxFallback = 16;

class Reader {
public:
    Reader(QByteArrayView in, QTextDocument& doc, RtfReadResult& result)
        : in_(in), cursor_(&doc), result_(result) {}

    void Run() {
        while (pos_ < in_.size() && !done_) {
            const char c = in_[pos_++];
            switch (c) {
            case '{':
                OpenGroup();
                break;
            case '}':
                CloseGroup();
                break;
            case '\\':
                ControlSequence();
                break;
            case '\r':
            case '\n':
                break;  // line structure of the file means nothing
            case '\t':
                if (!SkipFallback()) Emit(u'\t');
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) break;  // stray control bytes
                if (!SkipFallback()) Emit(Cp1252ToUnicode(static_cast<unsigned char>(c)));
                break;
            }
        }
        Finish();
    }

private:
    Group& Cur() { return stack_.back(); }

    // Characters that stand in for a \uN for readers without Unicode: dropped.
    bool SkipFallback() {
        if (skipFallback_ <= 0) return false;
        --skipFallback_;
        return true;
    }

    void OpenGroup() {
        skipFallback_ = 0;
        if (stack_.empty()) {
            stack_.emplace_back();
            return;
        }
        if (static_cast<int>(stack_.size()) >= kRtfMaxDepth) {
            if (overflow_++ == 0) result_.notes << QStringLiteral("groups nested too deeply were flattened");
            return;
        }
        stack_.push_back(Cur());
    }

    void CloseGroup() {
        skipFallback_ = 0;
        if (overflow_ > 0) {
            --overflow_;
            return;
        }
        if (stack_.size() <= 1) {
            // The document group ends here; whatever follows is not part of it.
            done_ = true;
            for (qsizetype p = pos_; p < in_.size(); ++p) {
                const char c = in_[p];
                if (c != ' ' && c != '\r' && c != '\n' && c != '\t' && c != '\0') {
                    result_.notes << QStringLiteral("text after the end of the document was ignored");
                    return;
                }
            }
            closed_ = true;
            return;
        }
        const Dest leaving = Cur().dest;
        stack_.pop_back();
        if (leaving == Dest::FontTable && Cur().dest != Dest::FontTable) fontInTable_ = -1;
    }

    void ControlSequence() {
        if (pos_ >= in_.size()) return;
        const char c = in_[pos_];
        if (!IsLetter(c)) {
            ++pos_;
            ControlSymbol(c);
            return;
        }
        // Control word: up to 32 letters, an optional signed number, one delimiting blank.
        char name[33];
        int len = 0;
        while (pos_ < in_.size() && IsLetter(in_[pos_])) {
            if (len < 32) name[len++] = in_[pos_];
            ++pos_;
        }
        bool hasParam = false;
        bool negative = false;
        int64_t value = 0;
        if (pos_ < in_.size() && in_[pos_] == '-' && pos_ + 1 < in_.size() && IsDigit(in_[pos_ + 1])) {
            negative = true;
            ++pos_;
        }
        while (pos_ < in_.size() && IsDigit(in_[pos_])) {
            hasParam = true;
            if (value < (int64_t{1} << 40)) value = value * 10 + (in_[pos_] - '0');
            ++pos_;
        }
        if (pos_ < in_.size() && in_[pos_] == ' ') ++pos_;
        if (negative) value = -value;
        value = std::clamp<int64_t>(value, INT32_MIN, INT32_MAX);
        const std::string_view word(name, static_cast<std::size_t>(len));
        const auto& table = Keywords();
        const auto it = table.find(word);
        const Kw kw = it == table.end() ? Kw::Skip : it->second;
        const bool known = it != table.end();
        // \bin data is raw bytes: it must be passed over even when the word itself is dropped.
        if (known && kw == Kw::Bin) {
            const int64_t n = hasParam && value > 0 ? value : 0;
            const int64_t left = in_.size() - pos_;
            if (n > left) result_.notes << QStringLiteral("binary data runs past the end of the file");
            pos_ += static_cast<qsizetype>(std::min(n, left));
            return;
        }
        if (SkipFallback()) return;
        if (!known) return;  // unknown words are ignored, their group's text is kept
        Word(kw, hasParam, static_cast<int>(value));
    }

    void ControlSymbol(char c) {
        if (c == '\'') {
            // \'hh: one byte in the document's code page.
            int byte = -1;
            if (pos_ + 1 < in_.size()) {
                const int hi = HexValue(in_[pos_]);
                const int lo = HexValue(in_[pos_ + 1]);
                if (hi >= 0 && lo >= 0) byte = hi * 16 + lo;
            }
            if (byte < 0) return;  // malformed: nothing is shown for it
            pos_ += 2;
            if (SkipFallback()) return;
            if (byte < 0x20) {
                if (byte == '\t') Emit(u'\t');  // other control bytes show nothing
                return;
            }
            Emit(Cp1252ToUnicode(static_cast<unsigned char>(byte)));
            return;
        }
        if (SkipFallback()) return;
        switch (c) {
        case '\\':
        case '{':
        case '}':
            Emit(static_cast<char16_t>(c));
            break;
        case '~':
            Emit(u'\u00A0');
            break;
        case '_':
            Emit(u'\u2011');
            break;
        case '*':
            if (!stack_.empty()) Cur().dest = Dest::Skip;
            break;
        case '\r':
        case '\n':
            Paragraph();
            break;
        default:
            break;  // \- (optional hyphen), \: and \| show nothing
        }
    }

    void Word(Kw kw, bool hasParam, int value) {
        if (stack_.empty()) return;  // before the document group: nothing to apply it to
        Group& g = Cur();
        // A toggle without number switches on; "0" switches off.
        const bool on = !hasParam || value != 0;
        switch (kw) {
        case Kw::Rtf:
            break;
        case Kw::Ansicpg:
            if (value != 1252 && !warnedCodePage_) {
                warnedCodePage_ = true;
                result_.notes << QStringLiteral("code page %1 read as Windows-1252").arg(value);
            }
            break;
        case Kw::Deff:
            defaultFont_ = value;
            break;
        case Kw::FontTbl:
            g.dest = Dest::FontTable;
            break;
        case Kw::ColorTbl:
            g.dest = Dest::ColorTable;
            break;
        case Kw::Skip:
            g.dest = Dest::Skip;
            break;
        case Kw::Par:
        case Kw::Page:
        case Kw::Row:
            Paragraph();
            break;
        case Kw::Line:
            Emit(u'\u2028');
            break;
        case Kw::Tab:
        case Kw::Cell:
            Emit(u'\t');
            break;
        case Kw::Pard:
            g.para = ParaState{};
            break;
        case Kw::Plain: {
            const CharState fresh;
            g.ch = fresh;
            break;
        }
        case Kw::Ql:
            g.para.align = 0;
            break;
        case Kw::Qc:
            g.para.align = 1;
            break;
        case Kw::Qr:
            g.para.align = 2;
            break;
        case Kw::Qj:
            g.para.align = 3;
            break;
        case Kw::Li:
            g.para.left = std::clamp(value, 0, kMaxTwips);
            break;
        case Kw::Ri:
            g.para.right = std::clamp(value, 0, kMaxTwips);
            break;
        case Kw::Fi:
            g.para.first = std::clamp(value, -kMaxTwips, kMaxTwips);
            break;
        case Kw::Sb:
            g.para.before = std::clamp(value, 0, kMaxTwips);
            break;
        case Kw::Sa:
            g.para.after = std::clamp(value, 0, kMaxTwips);
            break;
        case Kw::B:
            g.ch.bold = on;
            break;
        case Kw::I:
            g.ch.italic = on;
            break;
        case Kw::Ul:
            g.ch.underline = on;
            break;
        case Kw::UlNone:
            g.ch.underline = false;
            break;
        case Kw::Strike:
            g.ch.strike = on;
            break;
        case Kw::Super:
            g.ch.vertical = 1;
            break;
        case Kw::Sub:
            g.ch.vertical = -1;
            break;
        case Kw::NoSuperSub:
            g.ch.vertical = 0;
            break;
        case Kw::Hidden:
            g.ch.hidden = on;
            break;
        case Kw::Fs:
            g.ch.halfPoints = hasParam && value > 0 ? std::clamp(value, kMinHalfPoints, kMaxHalfPoints) : 24;
            break;
        case Kw::F:
            if (g.dest == Dest::FontTable) {
                StartFontEntry(value);
            } else {
                g.ch.font = value;
            }
            break;
        case Kw::Cf:
            g.ch.fg = std::max(value, 0);
            break;
        case Kw::Cb:
            g.ch.bg = std::max(value, 0);
            break;
        case Kw::Red:
            red_ = std::clamp(value, 0, 255);
            break;
        case Kw::Green:
            green_ = std::clamp(value, 0, 255);
            break;
        case Kw::Blue:
            blue_ = std::clamp(value, 0, 255);
            break;
        case Kw::FNil:
        case Kw::FRoman:
        case Kw::FSwiss:
        case Kw::FModern:
        case Kw::FScript:
        case Kw::FDecor:
        case Kw::FTech:
            SetFontHint(kw);
            break;
        case Kw::U:
            Unicode(value);
            skipFallback_ = g.uc;
            break;
        case Kw::Uc:
            g.uc = std::clamp(value, 0, kMaxFallback);
            break;
        case Kw::Bin:
            break;  // handled before dispatch
        case Kw::Emdash:
            Emit(u'\u2014');
            break;
        case Kw::Endash:
            Emit(u'\u2013');
            break;
        case Kw::Emspace:
            Emit(u'\u2003');
            break;
        case Kw::Enspace:
            Emit(u'\u2002');
            break;
        case Kw::Qmspace:
            Emit(u'\u2005');
            break;
        case Kw::Bullet:
            Emit(u'\u2022');
            break;
        case Kw::Lquote:
            Emit(u'\u2018');
            break;
        case Kw::Rquote:
            Emit(u'\u2019');
            break;
        case Kw::Ldblquote:
            Emit(u'\u201C');
            break;
        case Kw::Rdblquote:
            Emit(u'\u201D');
            break;
        case Kw::Zwj:
            Emit(u'\u200D');
            break;
        case Kw::Zwnj:
            Emit(u'\u200C');
            break;
        case Kw::Ltrmark:
            Emit(u'\u200E');
            break;
        case Kw::Rtlmark:
            Emit(u'\u200F');
            break;
        }
    }

    void StartFontEntry(int number) {
        fontInTable_ = -1;
        if (fonts_.count(number) == 0 && static_cast<int>(fonts_.size()) >= kRtfMaxTableEntries) return;
        fonts_[number] = FontEntry{};
        fontInTable_ = number;
    }

    void SetFontHint(Kw kw) {
        if (Cur().dest != Dest::FontTable || fontInTable_ < 0) return;
        QFont::StyleHint hint = QFont::AnyStyle;
        switch (kw) {
        case Kw::FRoman:
            hint = QFont::Serif;
            break;
        case Kw::FSwiss:
            hint = QFont::SansSerif;
            break;
        case Kw::FModern:
            hint = QFont::Monospace;
            break;
        case Kw::FScript:
            hint = QFont::Cursive;
            break;
        case Kw::FDecor:
            hint = QFont::Decorative;
            break;
        default:
            break;
        }
        fonts_[fontInTable_].hint = hint;
    }

    // \uN: a signed 16-bit number in files, so negative values count from 65536.
    void Unicode(int value) {
        uint32_t cp = value < 0 ? static_cast<uint32_t>(value + 65536) : static_cast<uint32_t>(value);
        if (value < -32768 || cp > 0x10FFFF) cp = 0xFFFD;
        if (cp == 0) return;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (highSurrogate_) Emit(u'\uFFFD');
            highSurrogate_ = static_cast<char16_t>(cp);
            return;
        }
        if (cp >= 0xDC00 && cp <= 0xDFFF) {
            if (!highSurrogate_) {
                Emit(u'\uFFFD');
                return;
            }
            const char16_t pair[2] = {highSurrogate_, static_cast<char16_t>(cp)};
            highSurrogate_ = 0;
            EmitText(QString(reinterpret_cast<const QChar*>(pair), 2));
            return;
        }
        if (cp > 0xFFFF) {
            const char32_t c32 = cp;
            EmitText(QString::fromUcs4(&c32, 1));
            return;
        }
        Emit(static_cast<char16_t>(cp));
    }

    void Emit(char16_t c) { EmitText(QString(QChar(c))); }

    void EmitText(const QString& text) {
        if (stack_.empty()) return;  // text before "{" is not part of any document
        if (highSurrogate_) {
            // A high surrogate not followed by its partner stands alone: not a character.
            highSurrogate_ = 0;
            EmitText(QString(QChar(u'\uFFFD')));
        }
        Group& g = Cur();
        switch (g.dest) {
        case Dest::Skip:
            return;
        case Dest::FontTable:
            FontNameText(text);
            return;
        case Dest::ColorTable:
            if (text == QLatin1String(";")) EndColor();
            return;
        case Dest::Text:
            break;
        }
        if (g.ch.hidden) return;
        if (!run_.isEmpty() && !(g.ch == runState_)) Flush();
        runState_ = g.ch;
        run_ += text;
    }

    void FontNameText(const QString& text) {
        if (fontInTable_ < 0) return;
        FontEntry& e = fonts_[fontInTable_];
        if (e.nameDone) return;
        if (text == QLatin1String(";")) {
            e.nameDone = true;
            e.name = e.name.trimmed();
            return;
        }
        if (e.name.size() < kRtfMaxFontNameLength) e.name += text;
    }

    void EndColor() {
        if (static_cast<int>(colors_.size()) < kRtfMaxTableEntries) {
            if (red_ < 0 && green_ < 0 && blue_ < 0)
                colors_.push_back(std::nullopt);  // "auto"
            else
                colors_.push_back(QColor(std::max(red_, 0), std::max(green_, 0), std::max(blue_, 0)));
        }
        red_ = green_ = blue_ = -1;
    }

    void Paragraph() {
        if (stack_.empty() || Cur().dest != Dest::Text) return;
        Flush();
        cursor_.setBlockFormat(BlockFormat(Cur().para));
        cursor_.insertBlock();
    }

    void Flush() {
        if (run_.isEmpty()) return;
        cursor_.insertText(run_, CharFormat(runState_));
        run_.clear();
    }

    QTextCharFormat CharFormat(const CharState& s) const {
        QTextCharFormat f;
        f.setFontWeight(s.bold ? QFont::Bold : QFont::Normal);
        f.setFontItalic(s.italic);
        f.setFontUnderline(s.underline);
        f.setFontStrikeOut(s.strike);
        f.setFontPointSize(s.halfPoints / 2.0);
        if (s.vertical > 0) f.setVerticalAlignment(QTextCharFormat::AlignSuperScript);
        if (s.vertical < 0) f.setVerticalAlignment(QTextCharFormat::AlignSubScript);
        const int number = s.font >= 0 ? s.font : defaultFont_;
        if (const auto it = fonts_.find(number); it != fonts_.end()) {
            const QString name = it->second.name.trimmed();
            if (!name.isEmpty()) f.setFontFamilies(QStringList{name});
            if (it->second.hint != QFont::AnyStyle) f.setFontStyleHint(it->second.hint);
        }
        if (const auto c = Colour(s.fg)) f.setForeground(*c);
        if (const auto c = Colour(s.bg)) f.setBackground(*c);
        return f;
    }

    std::optional<QColor> Colour(int index) const {
        if (index <= 0 || static_cast<std::size_t>(index) >= colors_.size()) return std::nullopt;
        return colors_[static_cast<std::size_t>(index)];
    }

    static QTextBlockFormat BlockFormat(const ParaState& p) {
        QTextBlockFormat f;
        static constexpr Qt::Alignment kAlign[] = {Qt::AlignLeft, Qt::AlignHCenter, Qt::AlignRight,
                                                   Qt::AlignJustify};
        f.setAlignment(kAlign[p.align & 3]);
        f.setLeftMargin(double(p.left) / kTwipsPerPixel);
        f.setRightMargin(double(p.right) / kTwipsPerPixel);
        // A hanging indent never reaches left of the page.
        f.setTextIndent(double(std::max(p.first, -p.left)) / kTwipsPerPixel);
        f.setTopMargin(double(p.before) / kTwipsPerPixel);
        f.setBottomMargin(double(p.after) / kTwipsPerPixel);
        return f;
    }

    void Finish() {
        if (highSurrogate_) {
            highSurrogate_ = 0;
            if (!stack_.empty()) EmitText(QString(QChar(u'\uFFFD')));
        }
        Flush();
        if (!stack_.empty()) cursor_.setBlockFormat(BlockFormat(Cur().para));
        if (!done_) {
            const int open = static_cast<int>(stack_.size()) + overflow_;
            result_.notes << QStringLiteral("the file ends inside %1 open group(s)").arg(open);
        }
        result_.complete = closed_;
    }

    QByteArrayView in_;
    qsizetype pos_ = 0;
    QTextCursor cursor_;
    RtfReadResult& result_;

    std::vector<Group> stack_;
    int overflow_ = 0;
    bool done_ = false;
    bool closed_ = false;
    int skipFallback_ = 0;
    char16_t highSurrogate_ = 0;
    bool warnedCodePage_ = false;

    std::map<int, FontEntry> fonts_;
    int fontInTable_ = -1;
    int defaultFont_ = -1;
    std::vector<std::optional<QColor>> colors_;
    int red_ = -1, green_ = -1, blue_ = -1;

    QString run_;
    CharState runState_;
};

// Where "{\rtf" starts after an optional UTF-8 byte-order mark and blanks; -1 when it does not.
qsizetype RtfStart(QByteArrayView data) {
    qsizetype p = 0;
    if (data.size() >= 3 && static_cast<unsigned char>(data[0]) == 0xEF &&
        static_cast<unsigned char>(data[1]) == 0xBB && static_cast<unsigned char>(data[2]) == 0xBF)
        p = 3;
    while (p < data.size() && (data[p] == ' ' || data[p] == '\t' || data[p] == '\r' || data[p] == '\n')) ++p;
    static constexpr std::string_view kMagic = "{\\rtf";
    if (data.size() - p < static_cast<qsizetype>(kMagic.size())) return -1;
    for (std::size_t i = 0; i < kMagic.size(); ++i)
        if (data[p + static_cast<qsizetype>(i)] != kMagic[i]) return -1;
    return p;
}

}  // namespace

RtfReadResult ReadRtf(QByteArrayView data, QTextDocument& doc) {
    RtfReadResult result;
    const bool undo = doc.isUndoRedoEnabled();
    doc.setUndoRedoEnabled(false);
    doc.clear();
    const qsizetype start = RtfStart(data);
    if (start < 0) {
        doc.setPlainText(DecodePlainText(data));
        result.notes << QStringLiteral("not rich text: shown as plain text");
    } else {
        result.isRtf = true;
        Reader(data.sliced(start), doc, result).Run();
    }
    doc.setUndoRedoEnabled(undo);
    return result;
}

}  // namespace qtx
