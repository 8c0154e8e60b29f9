// The run log: every run of this session with its result, and where the log
// file that keeps all runs lies.
#pragma once

#include <QDialog>

#include <string>
#include <vector>

#include "engine/verdict.h"

class QLabel;
class QTableWidget;

namespace qtx {

class TRunLog : public QDialog {
    Q_OBJECT

public:
    explicit TRunLog(QWidget* parent = nullptr);

    // The file the records are appended to, and why the last append failed (empty when it worked).
    void SetLogFile(const std::string& path, const std::string& problem);
    void Add(const RunRecord& record);
    const std::vector<RunRecord>& Records() const { return records_; }

private:
    std::vector<RunRecord> records_;
    QTableWidget* table_ = nullptr;
    QLabel* file_ = nullptr;
};

}  // namespace qtx
