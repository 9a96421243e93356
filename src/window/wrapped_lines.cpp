#include "window/wrapped_lines.h"

#include <QtMath>
#include <algorithm>

namespace parvolo {

namespace {
constexpr int kTabColumns = 8;
constexpr qreal kFitSlack = 1e-6;  // advances are sums of floats; a line exactly full still fits
}  // namespace

WrappedLines::WrappedLines() : m_metrics(QFont()) {
    m_latinAdvance.fill(-1);
}

void WrappedLines::setFont(const QFont& font) {
    m_metrics = QFontMetricsF(font);
    m_lineHeight = qCeil(m_metrics.lineSpacing());
    m_latinAdvance.fill(-1);
    m_advance.clear();
}

void WrappedLines::setWidth(qreal width) {
    m_width = std::max<qreal>(1, width);
}

qreal WrappedLines::tabStopDistance() const {
    return kTabColumns * advanceOf(QStringLiteral(" "), 0, 1);
}

int WrappedLines::clusterLength(const QString& text, qsizetype position) {
    if (position + 1 >= text.size()) return 1;
    const QChar c = text.at(position);
    const QChar next = text.at(position + 1);
    if (c == QLatin1Char('\r') && next == QLatin1Char('\n')) return 2;
    if (c.isHighSurrogate() && next.isLowSurrogate()) return 2;
    return 1;
}

qsizetype WrappedLines::previousCluster(const QString& text, qsizetype position) {
    if (position <= 0) return 0;
    if (position >= 2 && clusterLength(text, position - 2) == 2) return position - 2;
    return position - 1;
}

qreal WrappedLines::advanceOf(const QString& text, qsizetype position, int length) const {
    const QChar c = text.at(position);
    if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) return 0;
    if (c.unicode() < m_latinAdvance.size()) {
        qreal& cached = m_latinAdvance[c.unicode()];
        if (cached < 0) cached = m_metrics.horizontalAdvance(c);
        return cached;
    }
    const char32_t code =
        length == 2 ? QChar::surrogateToUcs4(c, text.at(position + 1)) : char32_t(c.unicode());
    auto it = m_advance.constFind(code);
    if (it != m_advance.constEnd()) return *it;
    return *m_advance.insert(code, m_metrics.horizontalAdvance(text.mid(position, length)));
}

WrappedLines::Cluster WrappedLines::clusterAt(const QString& text, qsizetype position,
                                              qreal x) const {
    const int length = clusterLength(text, position);
    const QChar c = text.at(position);
    const bool lineBreak = c == QLatin1Char('\n') || (c == QLatin1Char('\r') && length == 2);
    qreal advance;
    if (c == QLatin1Char('\t')) {
        const qreal tab = tabStopDistance();
        advance = (std::floor(x / tab + kFitSlack) + 1) * tab - x;
    } else {
        advance = advanceOf(text, position, length);
    }
    return {position, length, x, advance, lineBreak};
}

// Lays out text from the line start `from`, appending the starts of the following lines to
// out, until the end of the text or until resumes(start) says the old layout goes on from there.
template <typename Resumes>
qsizetype WrappedLines::breakLines(const QString& text, qsizetype from, std::vector<qsizetype>& out,
                                   Resumes resumes) const {
    qreal x = 0;
    qsizetype lineStart = from;
    auto startLine = [&](qsizetype start) {
        out.push_back(start);
        lineStart = start;
        x = 0;
        return resumes(start);
    };
    for (qsizetype pos = from; pos < text.size();) {
        Cluster c = clusterAt(text, pos, x);
        if (c.lineBreak) {
            pos += c.length;
            if (startLine(pos)) return pos;
            continue;
        }
        // A character wider than the box still gets a line of its own.
        if (x + c.advance > m_width + kFitSlack && pos > lineStart) {
            if (startLine(pos)) return pos;
            c = clusterAt(text, pos, 0);
        }
        x = c.x + c.advance;
        pos += c.length;
    }
    return text.size();
}

void WrappedLines::layoutAll(const QString& text) {
    m_starts.assign(1, 0);
    breakLines(text, 0, m_starts, [](qsizetype) { return false; });
    m_lastLayoutLength = text.size();
}

void WrappedLines::update(const QString& text, qsizetype start, qsizetype removed,
                          qsizetype inserted) {
    const qsizetype delta = inserted - removed;
    const bool append = removed == 0 && start + inserted == text.size();
    int first = lineOf(start);
    // Text taken out at the start of a line may let the next character move up a line.
    if (!append && first > 0 && continuesLine(first, text)) --first;
    const qsizetype from = m_starts[size_t(first)];

    // Layout from a line start depends only on the text after it: once a new line starts
    // behind the edit where an old one started (shifted), the old breaks hold from there on.
    const auto oldAfter = m_starts.begin() + first + 1;
    auto resumeAt = m_starts.end();
    std::vector<qsizetype> fresh;
    const qsizetype stop = breakLines(text, from, fresh, [&](qsizetype lineStart) {
        if (lineStart < start + inserted) return false;
        const auto it = std::lower_bound(oldAfter, m_starts.end(), lineStart - delta);
        if (it == m_starts.end() || *it != lineStart - delta) return false;
        resumeAt = it;
        return true;
    });
    m_lastLayoutLength = stop - from;

    auto kept = resumeAt == m_starts.end() ? resumeAt : resumeAt + 1;
    for (auto it = kept; it != m_starts.end(); ++it) *it += delta;
    kept = m_starts.erase(oldAfter, kept);
    m_starts.insert(kept, fresh.begin(), fresh.end());
}

qsizetype WrappedLines::lineEnd(int line, const QString& text) const {
    return line + 1 < lineCount() ? m_starts[size_t(line) + 1] : text.size();
}

qsizetype WrappedLines::contentEnd(int line, const QString& text) const {
    qsizetype end = lineEnd(line, text);
    if (end > lineStart(line) && text.at(end - 1) == QLatin1Char('\n')) {
        --end;
        if (end > lineStart(line) && text.at(end - 1) == QLatin1Char('\r')) --end;
    }
    return end;
}

bool WrappedLines::continuesLine(int line, const QString& text) const {
    return line > 0 && text.at(lineStart(line) - 1) != QLatin1Char('\n');
}

int WrappedLines::lineOf(qsizetype offset) const {
    return int(std::upper_bound(m_starts.begin(), m_starts.end(), offset) - m_starts.begin()) - 1;
}

qreal WrappedLines::xOf(const QString& text, int line, qsizetype offset) const {
    qreal x = 0;
    const qsizetype end = lineEnd(line, text);
    for (qsizetype pos = lineStart(line); pos < end;) {
        const Cluster c = clusterAt(text, pos, x);
        if (pos + c.length > offset) break;
        x += c.advance;
        pos += c.length;
    }
    return x;
}

qsizetype WrappedLines::offsetAtX(const QString& text, int line, qreal x, bool* pastEnd) const {
    const qsizetype end = contentEnd(line, text);
    qreal at = 0;
    for (qsizetype pos = lineStart(line); pos < end;) {
        const Cluster c = clusterAt(text, pos, at);
        if (x < at + c.advance / 2) {
            if (pastEnd) *pastEnd = false;
            return pos;
        }
        at += c.advance;
        pos += c.length;
    }
    if (pastEnd) *pastEnd = true;
    return end;
}

}  // namespace parvolo
