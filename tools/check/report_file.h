#pragma once

#include <QByteArray>
#include <QString>

// Where a report (JSON or JUnit XML) goes: a file, or stdout for "-". A CI job keeps the report and
// reads its verdict, so a report that was not written whole and flushed is an error of its own, and
// neither opening nor writing may wait without a bound: a FIFO without a reader is refused at
// once, and a reader that stops reading is given up on.
namespace parvolo {

class ReportFile {
public:
    // How long a reader that takes nothing gets before the report is given up.
    static constexpr int kStalledWriteMs = 5000;

    ReportFile() = default;
    ~ReportFile();
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    // Opens (creating or emptying) the file; false with error() set when it cannot.
    bool open(const QString& path);
    // Writes all of text, flushes it to the file and closes it; false with error() set when
    // any part did not get there.
    bool writeAndClose(const QByteArray& text);
    bool isOpen() const { return m_fd >= 0; }
    const QString& error() const { return m_error; }

private:
    bool fail(int err);

    int m_fd = -1;
    bool m_ownsFd = false;
    QString m_error;
};

}  // namespace parvolo
