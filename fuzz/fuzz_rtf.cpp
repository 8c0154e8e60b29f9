// libFuzzer entry for the RTF reader: any bytes must give a document (and a
// layout of it, as the readme window makes) without a crash, a hang or a
// sanitizer report.
#include <QByteArrayView>
#include <QGuiApplication>
#include <QTextDocument>

#include <cstddef>
#include <cstdint>

#include "help/rtf_reader.h"

namespace {
// Qt must not see libFuzzer's options; the application lives for the whole run.
int g_argc = 1;
char g_name[] = "fuzz_rtf";
char* g_argv[] = {g_name, nullptr};
QGuiApplication* g_app = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    g_app = new QGuiApplication(g_argc, g_argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QTextDocument doc;
    doc.setTextWidth(560);
    const qtx::RtfReadResult result =
        qtx::ReadRtf(QByteArrayView(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)), doc);
    // A complete document was an RTF document.
    if (result.complete && !result.isRtf) __builtin_trap();
    (void)doc.size();  // lays the text out
    (void)doc.toPlainText();
    return 0;
}
