// The RTF reader on hand-made documents: what text it shows, with which
// formatting, and that broken or hostile input yields what could be read.
#include <gtest/gtest.h>

#include <QFile>
#include <QTextBlock>
#include <QTextDocument>

#include <string>

#include "help/rtf_reader.h"

using qtx::ReadRtf;
using qtx::RtfReadResult;

namespace {

// The document's raw text with paragraph ends as "¶" and line breaks as "↵".
std::string Shown(const QTextDocument& doc) {
    QString raw = doc.toRawText();
    raw.replace(QChar(0x2029), QStringLiteral("¶"));
    raw.replace(QChar(0x2028), QStringLiteral("↵"));
    return raw.toStdString();
}

struct Read {
    QTextDocument doc;
    RtfReadResult result;
    explicit Read(const std::string& rtf) { result = ReadRtf(QByteArrayView(rtf.data(), qsizetype(rtf.size())), doc); }
};

// The format of the fragment that holds word.
QTextCharFormat FormatOf(const QTextDocument& doc, const QString& word) {
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it)
            if (it.fragment().text().contains(word)) return it.fragment().charFormat();
    ADD_FAILURE() << "no fragment holds " << word.toStdString();
    return {};
}

struct TextCase {
    const char* name;
    std::string rtf;
    const char* shown;  // UTF-8
};

class RtfText : public testing::TestWithParam<TextCase> {};

TEST_P(RtfText, ShowsTheText) {
    const TextCase& c = GetParam();
    Read r(c.rtf);
    EXPECT_TRUE(r.result.isRtf);
    EXPECT_EQ(Shown(r.doc), c.shown);
}

const TextCase kTextCases[] = {
    {"paragraphs", R"({\rtf1\ansi One\par Two\par})", "One¶Two¶"},
    {"line_break_and_tab", R"({\rtf1 a\line b\tab c})", "a↵b\tc"},
    {"escaped_braces_and_backslash", R"({\rtf1 \{x\}\\y})", "{x}\\y"},
    {"cp1252_bytes", R"({\rtf1\ansi\ansicpg1252 Gr\'f6\'dfe \'80 \'84x\'93})", "Größe € „x“"},
    {"unicode_skips_one_fallback_char", R"({\rtf1 \u8364?\u228 a})", "€ä"},
    {"uc2_skips_two", R"({\rtf1\uc2\u8364\'80\'80x})", "€x"},
    {"uc0_skips_nothing", R"({\rtf1\uc0\u8364 x})", "€x"},
    {"fallback_ends_with_the_group", R"({\rtf1{\u8364}x})", "€x"},
    {"fallback_control_word_counts_once", R"({\rtf1\u8212\emdash x})", "—x"},
    {"negative_unicode_counts_from_65536", R"({\rtf1\u-3913?})", "\xEF\x82\xB7"},
    {"surrogate_pair", R"({\rtf1\u-10179?\u-8704?})", "😀"},
    {"lone_low_surrogate", R"({\rtf1\u56832?x})", "\xEF\xBF\xBDx"},
    {"high_surrogate_without_partner", R"({\rtf1\u55357?x})", "\xEF\xBF\xBDx"},
    {"symbols", R"({\rtf1 a\~b\_c\-d\emdash\endash\bullet\lquote\rquote\ldblquote\rdblquote})",
     "a\xC2\xA0" "b\xE2\x80\x91" "cd—–•‘’“”"},
    {"ignorable_destinations", R"({\rtf1{\*\generator Writer 1.0;}{\*\unknown stuff}Text})", "Text"},
    {"header_groups", R"({\rtf1{\fonttbl{\f0 Arial;}}{\colortbl;\red1\green2\blue3;}{\stylesheet{\s0 Normal;}})"
                      R"({\info{\title T}{\author A}}{\pict\pngblip 89504e47}Body})",
     "Body"},
    {"unknown_word_keeps_its_text", R"({\rtf1{\foo kept} x})", "kept x"},
    {"binary_data_skipped", R"({\rtf1 a\bin4 {}\zb})", "ab"},
    {"hidden_text", R"({\rtf1 a{\v secret}b})", "ab"},
    {"field_result_shown", R"({\rtf1{\field{\*\fldinst HYPERLINK "x"}{\fldrslt link}}})", "link"},
    {"word_with_number_then_text", R"({\rtf1\b0x\i1 y})", "xy"},
    {"source_line_ends_ignored", "{\\rtf1 a\r\nb}", "ab"},
    {"backslash_newline_is_a_paragraph", "{\\rtf1 a\\\nb}", "a¶b"},
    {"literal_tab_and_high_byte", "{\\rtf1 x\ty\xE4}", "x\tyä"},
    {"text_after_the_end", R"({\rtf1 a}b)", "a"},
    {"bom_and_blanks_before", "\xEF\xBB\xBF \r\n{\\rtf1 ok}", "ok"},
    {"malformed_hex_byte", R"({\rtf1 a\'zzb})", "azzb"},
    {"control_bytes_dropped", std::string("{\\rtf1 a\0b\x01" "c}", 13), "abc"},
};

INSTANTIATE_TEST_SUITE_P(Cases, RtfText, testing::ValuesIn(kTextCases),
                         [](const testing::TestParamInfo<TextCase>& i) { return std::string(i.param.name); });

TEST(RtfFormat, CharacterFormatsFollowTheGroups) {
    Read r(R"({\rtf1\ansi\deff0{\fonttbl{\f0\fswiss Arial;}{\f1\fmodern Courier New;}})"
           R"({\colortbl;\red255\green0\blue0;}\fs20 plain {\b bold} {\i italic} {\ul under}{\ulnone  }{\strike gone} )"
           R"({\f1 mono} {\cf1 red} {\cf9 nocolour} {\fs40 big} {\fs0 reset} {\super up}\b\i both\plain  none})");
    ASSERT_TRUE(r.result.complete);
    const QTextCharFormat plain = FormatOf(r.doc, "plain");
    EXPECT_NE(plain.fontWeight(), QFont::Bold);
    EXPECT_DOUBLE_EQ(plain.fontPointSize(), 10.0);
    EXPECT_EQ(plain.fontFamilies().toStringList(), QStringList{"Arial"});  // \deff0
    EXPECT_EQ(plain.fontStyleHint(), QFont::SansSerif);
    EXPECT_EQ(FormatOf(r.doc, "bold").fontWeight(), QFont::Bold);
    EXPECT_TRUE(FormatOf(r.doc, "italic").fontItalic());
    EXPECT_FALSE(FormatOf(r.doc, "italic").fontUnderline());
    EXPECT_TRUE(FormatOf(r.doc, "under").fontUnderline());
    EXPECT_TRUE(FormatOf(r.doc, "gone").fontStrikeOut());
    EXPECT_EQ(FormatOf(r.doc, "mono").fontFamilies().toStringList(), QStringList{"Courier New"});
    EXPECT_EQ(FormatOf(r.doc, "mono").fontStyleHint(), QFont::Monospace);
    EXPECT_EQ(FormatOf(r.doc, "red").foreground().color(), QColor(255, 0, 0));
    EXPECT_FALSE(FormatOf(r.doc, "nocolour").hasProperty(QTextFormat::ForegroundBrush));
    EXPECT_DOUBLE_EQ(FormatOf(r.doc, "big").fontPointSize(), 20.0);
    EXPECT_DOUBLE_EQ(FormatOf(r.doc, "reset").fontPointSize(), 12.0);
    EXPECT_EQ(FormatOf(r.doc, "up").verticalAlignment(), QTextCharFormat::AlignSuperScript);
    EXPECT_EQ(FormatOf(r.doc, "both").fontWeight(), QFont::Bold);
    EXPECT_TRUE(FormatOf(r.doc, "both").fontItalic());
    // \plain: back to the defaults, 12 pt, default font.
    const QTextCharFormat none = FormatOf(r.doc, "none");
    EXPECT_NE(none.fontWeight(), QFont::Bold);
    EXPECT_FALSE(none.fontItalic());
    EXPECT_DOUBLE_EQ(none.fontPointSize(), 12.0);
}

TEST(RtfFormat, ParagraphFormatsApplyAtTheParagraphEnd) {
    Read r(R"({\rtf1\qc centred\par\pard\li720\fi-360\sa120 indented\par\pard\qr\ri1440 right\par)"
           R"(\pard\li-50\fi-9999 clamped})");
    const QTextBlock centred = r.doc.findBlockByNumber(0);
    const QTextBlock indented = r.doc.findBlockByNumber(1);
    const QTextBlock right = r.doc.findBlockByNumber(2);
    const QTextBlock clamped = r.doc.findBlockByNumber(3);
    EXPECT_EQ(centred.text(), "centred");
    EXPECT_EQ(centred.blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    EXPECT_EQ(indented.blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
    EXPECT_DOUBLE_EQ(indented.blockFormat().leftMargin(), 48.0);  // 720 twips = half an inch
    EXPECT_DOUBLE_EQ(indented.blockFormat().textIndent(), -24.0);
    EXPECT_DOUBLE_EQ(indented.blockFormat().bottomMargin(), 8.0);
    EXPECT_EQ(right.blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
    EXPECT_DOUBLE_EQ(right.blockFormat().rightMargin(), 96.0);
    // A negative margin and a hanging indent reaching past the page are held at the edge.
    EXPECT_DOUBLE_EQ(clamped.blockFormat().leftMargin(), 0.0);
    EXPECT_DOUBLE_EQ(clamped.blockFormat().textIndent(), 0.0);
}

TEST(RtfFormat, FontNamesMayComeWithoutInnerGroupsAndInHex) {
    Read r(R"({\rtf1{\fonttbl\f0\froman Times New Roman;\f1\fswiss Caf\'e9 Sans;}\f1 text})");
    EXPECT_EQ(FormatOf(r.doc, "text").fontFamilies().toStringList(), QStringList{"Café Sans"});
}

struct Broken {
    const char* name;
    std::string rtf;
    const char* mustShow;  // UTF-8 text that must be in the document
};

class RtfBroken : public testing::TestWithParam<Broken> {};

// Never a crash or a hang; whatever text was readable is shown, and the result
// says the file was not complete.
TEST_P(RtfBroken, ShowsWhatCouldBeRead) {
    const Broken& c = GetParam();
    Read r(c.rtf);
    EXPECT_NE(Shown(r.doc).find(c.mustShow), std::string::npos) << Shown(r.doc);
    EXPECT_FALSE(r.result.complete);
    EXPECT_FALSE(r.result.notes.isEmpty());
}

std::string Deep(int depth) {
    return "{\\rtf1 " + std::string(std::size_t(depth), '{') + "deep" + std::string(std::size_t(depth), '}') + " x";
}

std::string ManyFonts(int n) {
    std::string s = "{\\rtf1{\\fonttbl";
    for (int i = 0; i < n; ++i) s += "{\\f" + std::to_string(i) + " F" + std::to_string(i) + ";}";
    return s + "}\\f5999 many";
}

const Broken kBroken[] = {
    {"unclosed_groups", R"({\rtf1 Hello {\b world)", "Hello world"},
    {"ends_in_hex_byte", R"({\rtf1 ab\'4)", "ab"},
    {"ends_after_backslash", "{\\rtf1 ab\\", "ab"},
    {"ends_in_unicode", R"({\rtf1 ab\u)", "ab"},
    {"binary_past_the_end", R"({\rtf1 ab\bin999 xyz)", "ab"},
    {"extra_closing_braces", R"({\rtf1 a}}} tail)", "a"},
    {"huge_numbers", R"({\rtf1\fs99999999999999999999 a\u99999999999999 b\uc-7\li-99999999999 c)", "c"},
    {"deep_nesting", Deep(5000), "deep"},
    {"many_fonts", ManyFonts(6000), "many"},
    {"huge_fallback_count", R"({\rtf1\uc2147483647\u65 tail}x)", "A"},
};

INSTANTIATE_TEST_SUITE_P(Cases, RtfBroken, testing::ValuesIn(kBroken),
                         [](const testing::TestParamInfo<Broken>& i) { return std::string(i.param.name); });

TEST(RtfInput, DeepNestingStillClosesProperly) {
    // Balanced, just deeper than the reader keeps: the document ends cleanly.
    Read r(Deep(5000) + "}");
    EXPECT_EQ(Shown(r.doc), "deep x");
    EXPECT_TRUE(r.result.complete);
}

TEST(RtfInput, NotRtfIsShownAsPlainText) {
    const struct {
        std::string bytes;
        const char* shown;
    } cases[] = {
        {"Just text\nline two", "Just text¶line two"},
        {"Gr\xC3\xB6\xC3\x9F" "e", "Größe"},       // valid UTF-8
        {"Gr\xF6\xDF" "e \x80", "Größe €"},         // Windows-1252
        {"", ""},
        {"{\\rt", "{\\rt"},
    };
    for (const auto& c : cases) {
        Read r(c.bytes);
        EXPECT_FALSE(r.result.isRtf) << c.shown;
        EXPECT_EQ(Shown(r.doc), c.shown);
    }
}

TEST(RtfInput, ReadingReplacesThePreviousContent) {
    QTextDocument doc;
    ReadRtf(QByteArrayView("{\\rtf1 first}"), doc);
    ReadRtf(QByteArrayView("{\\rtf1 second}"), doc);
    EXPECT_EQ(Shown(doc), "second");
}

TEST(Cp1252, DiffersFromLatin1OnlyBetween80And9F) {
    const struct {
        unsigned char byte;
        char16_t unicode;
    } cases[] = {{0x41, u'A'}, {0x80, u'\u20AC'}, {0x81, u'\u0081'}, {0x8A, u'\u0160'}, {0x93, u'\u201C'},
                 {0x9F, u'\u0178'}, {0xA0, u'\u00A0'}, {0xE4, u'\u00E4'}, {0xFF, u'\u00FF'}};
    for (const auto& c : cases) EXPECT_EQ(qtx::Cp1252ToUnicode(c.byte), c.unicode) << int(c.byte);
}

// The guides shipped with the program are read completely, and speak of what
// the program has.
TEST(ShippedGuides, ReadCleanlyAndCoverTheProgram) {
    const struct {
        const char* file;
        std::vector<const char*> words;
    } guides[] = {
        {"readme.rtf", {"QTX Flash", "Comport", "FLASH", "TIMEOUT", "qtxflash-cli", "qtxsim", "QTXFLASH_PORTS"}},
        {"liesmich.rtf", {"QTX Flash", "Comport", "FLASH", "TIMEOUT", "qtxflash-cli", "qtxsim", "QTXFLASH_PORTS",
                          "Anschluss", "Größe"}},
    };
    const char* targets[] = {"C509", "C166/167", "C163", "GP4020", "XC164/167",
                             "T89C5xACx", "XE167", "SAM3U", "SAM3S", "STM32F4"};
    for (const auto& g : guides) {
        QFile f(QStringLiteral(QTX_SOURCE_DIR "/docs/") + QLatin1String(g.file));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << g.file;
        const QByteArray data = f.readAll();
        QTextDocument doc;
        const RtfReadResult result = ReadRtf(data, doc);
        EXPECT_TRUE(result.isRtf) << g.file;
        EXPECT_TRUE(result.complete) << g.file;
        EXPECT_TRUE(result.notes.isEmpty()) << g.file << ": " << result.notes.join("; ").toStdString();
        // Hand-written RTF stays 7-bit: every other character is escaped.
        for (char c : data) EXPECT_LT(static_cast<unsigned char>(c), 0x80) << g.file;
        const QString text = doc.toPlainText();
        for (const char* w : g.words) EXPECT_TRUE(text.contains(QString::fromUtf8(w))) << g.file << ": " << w;
        for (const char* t : targets) EXPECT_TRUE(text.contains(QLatin1String(t))) << g.file << ": " << t;
        EXPECT_FALSE(text.contains(QChar(0xFFFD))) << g.file;
    }
}

}  // namespace
