#pragma once

#include <QByteArray>
#include <QString>

// Where a report (JSON or JUnit XML) goes: a file, or stdout for "-". A CI job keeps the report and
// reads its verdict, so a report that was not written whole and flushed is an error of its own, and
// neither opening nor writing may wait without a bound: a FIFO without a reader is refused at
// once, and a reader that stops reading is given up on. A regular file is never seen half
// written: each version is written beside it, flushed to the disk and renamed over it, so that
// a reader (or what a kill -9 leaves) has the last whole one.
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
    // A version to stand until the next: written whole and renamed into place where the report
    // is a regular file; nothing on stdout, a FIFO or a device, which take one version only.
    bool writeSnapshot(const QByteArray& text);
    bool isOpen() const { return m_fd >= 0 || !m_path.isEmpty(); }
    const QString& error() const { return m_error; }

private:
    bool fail(int err);
    bool writeAll(int fd, const QByteArray& text);
    // A new file beside the report, to be renamed over it.
    bool openTemporary();
    bool renameIntoPlace();

    int m_fd = -1;
    bool m_ownsFd = false;
    QByteArray m_path;       // the report, for a regular file
    QByteArray m_temporary;  // the version being written
    QString m_error;
};

}  // namespace parvolo
