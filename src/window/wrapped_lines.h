#pragma once

#include <QFont>
#include <QFontMetricsF>
#include <QHash>
#include <QString>
#include <array>
#include <vector>

namespace parvolo {

// The visual lines of a text in a box of a given width, measured with the glyphs' own advances.
// A visual line ends only at the box's edge (the next character would not fit) or after a
// line feed. CR is invisible and takes no room; CR LF and surrogate pairs are never split; TAB
// advances to the next tab stop.
//
// Only the line starts are kept. Each visual line starts at x = 0, so laying out can begin at
// any line start: an edit re-lays out from the line before the edited one until the breaks
// meet the old ones again (at the latest after the next line feed) and shifts the starts after
// that; an append re-lays out the last line only.
class WrappedLines {
public:
    // One unit of layout and caret movement: a character, a surrogate pair or CR LF.
    struct Cluster {
        qsizetype position;
        int length;
        qreal x;
        qreal advance;
        bool lineBreak;  // LF or CR LF
    };

    WrappedLines();

    void setFont(const QFont& font);
    // Room for text on a line, in pixels.
    void setWidth(qreal width);
    qreal width() const { return m_width; }
    qreal tabStopDistance() const;
    qreal lineHeight() const { return m_lineHeight; }
    qreal ascent() const { return m_metrics.ascent(); }
    const QFontMetricsF& metrics() const { return m_metrics; }

    void layoutAll(const QString& text);
    // After text[start, start + removed) of the old text became text[start, start + inserted).
    void update(const QString& text, qsizetype start, qsizetype removed, qsizetype inserted);
    // Characters walked by the last layout, so the cost of an edit can be checked.
    qsizetype lastLayoutLength() const { return m_lastLayoutLength; }

    int lineCount() const { return int(m_starts.size()); }
    qsizetype lineStart(int line) const { return m_starts[size_t(line)]; }
    qsizetype lineEnd(int line, const QString& text) const;
    // End of the line's characters, before the line feed that ends it.
    qsizetype contentEnd(int line, const QString& text) const;
    // True when the line continues the one before it (no line feed between them).
    bool continuesLine(int line, const QString& text) const;
    // The line whose start is the last at or before offset.
    int lineOf(qsizetype offset) const;

    Cluster clusterAt(const QString& text, qsizetype position, qreal x) const;
    // The x of an offset in its line (offsets inside a cluster take the cluster's x).
    qreal xOf(const QString& text, int line, qsizetype offset) const;
    // The offset nearest to x on the line, and whether it lies past the line's last character.
    qsizetype offsetAtX(const QString& text, int line, qreal x, bool* pastEnd = nullptr) const;

    static int clusterLength(const QString& text, qsizetype position);
    static qsizetype previousCluster(const QString& text, qsizetype position);

private:
    qreal advanceOf(const QString& text, qsizetype position, int length) const;
    template <typename Resumes>
    qsizetype breakLines(const QString& text, qsizetype from, std::vector<qsizetype>& out,
                         Resumes resumes) const;

    QFontMetricsF m_metrics;
    qreal m_width = 1;
    qreal m_lineHeight = 1;
    std::vector<qsizetype> m_starts{0};
    qsizetype m_lastLayoutLength = 0;
    mutable std::array<qreal, 256> m_latinAdvance;
    mutable QHash<char32_t, qreal> m_advance;
};

}  // namespace parvolo
