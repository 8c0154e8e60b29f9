#include "shell/run_log_window.h"

#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

#include <iterator>

namespace qtx {

namespace {

const char* const kColumns[] = {"Time",   "Target",      "Port",     "File",     "Size",
                                "CRC-32", "Result", "Failed step", "Duration", "Next step"};

}  // namespace

TRunLog::TRunLog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("RunLog"));
    setWindowTitle(QStringLiteral("Run log"));
    auto* layout = new QVBoxLayout(this);
    table_ = new QTableWidget(0, int(std::size(kColumns)), this);
    table_->setObjectName(QStringLiteral("RunTable"));
    QStringList headers;
    for (const char* c : kColumns) headers << QString::fromLatin1(c);
    table_->setHorizontalHeaderLabels(headers);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->verticalHeader()->setVisible(false);
    table_->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(table_);
    file_ = new QLabel(this);
    file_->setObjectName(QStringLiteral("LogFile"));
    file_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    file_->setWordWrap(true);
    layout->addWidget(file_);
    resize(900, 260);
}

void TRunLog::SetLogFile(const std::string& path, const std::string& problem) {
    QString text = path.empty() ? QStringLiteral("No log file: neither XDG_STATE_HOME nor HOME names a directory.")
                                : QStringLiteral("Log file: %1").arg(QString::fromStdString(path));
    if (!problem.empty()) text += QStringLiteral("\nThe last record could not be written: %1").arg(QString::fromStdString(problem));
    file_->setText(text);
}

void TRunLog::Add(const RunRecord& r) {
    records_.push_back(r);
    const int row = table_->rowCount();
    table_->insertRow(row);
    const QString result = QString::fromStdString(r.result) + (r.partial ? QStringLiteral(" (partial image)") : QString());
    const QString cells[] = {
        QDateTime::fromMSecsSinceEpoch(r.startedUnixMs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
        QString::fromStdString(r.target),
        QString::fromStdString(r.port),
        QString::fromStdString(r.file),
        QString::number(r.size),
        QStringLiteral("%1").arg(r.crc32, 8, 16, QLatin1Char('0')).toUpper(),
        result,
        QString::fromStdString(r.step),
        QStringLiteral("%1 s").arg(double(r.durationMs) / 1000.0, 0, 'f', 1),
        QString::fromStdString(r.hint),
    };
    for (int c = 0; c < int(std::size(cells)); ++c) {
        auto* item = new QTableWidgetItem(cells[c]);
        item->setToolTip(cells[c]);
        table_->setItem(row, c, item);
    }
    table_->resizeColumnsToContents();
    table_->scrollToBottom();
}

}  // namespace qtx
