#include "stream_check.h"

#include <QString>

namespace parvolo {

QString failureWord(FailureKind kind) {
    switch (kind) {
        case FailureKind::Mismatch:
            return QStringLiteral("mismatch");
        case FailureKind::Missing:
            return QStringLiteral("missing");
        case FailureKind::Extra:
            return QStringLiteral("extra");
        case FailureKind::TimeOut:
            break;
    }
    return QStringLiteral("time-out");
}

qint64 StreamCheck::expect(QByteArrayView block) {
    const qint64 number = ++m_sentBlocks;
    m_blocks.push_back(Block{number, m_expEnd, m_expEnd + block.size()});
    m_exp.append(block);
    m_expEnd += block.size();
    // Bytes held back for want of expected ones can be placed now.
    place(false);
    return number;
}

void StreamCheck::feed(QByteArrayView bytes) {
    if (bytes.isEmpty()) return;
    if (m_held.isEmpty()) m_heldAt = m_counts.received + 1;
    m_counts.received += bytes.size();
    m_held.append(bytes);
    place(false);
}

void StreamCheck::settle() {
    place(true);
}

void StreamCheck::expire(qint64 block) {
    place(true);
    qint64 end = m_pos;
    for (const Block& b : m_blocks)
        if (b.number == block) end = b.end;
    if (end <= m_pos) return;
    fail(FailureKind::TimeOut, m_pos);
    m_counts.timedOutBytes += end - m_pos;
    for (Block& b : m_blocks)
        if (b.end > m_pos && b.number <= block && !b.timedOut) {
            b.timedOut = true;
            ++m_counts.timedOutBlocks;
        }
    advanceTo(end);
}

void StreamCheck::advanceTo(qint64 position) {
    m_pos = position;
    for (Block& b : m_blocks) {
        if (b.end > m_pos) break;
        if (b.number <= m_resolvedBlocks) continue;
        ++m_resolvedBlocks;
        if (!b.timedOut) ++m_counts.completedBlocks;
    }
    // The last resolved block stays: an extra byte right after it is placed in it.
    while (m_blocks.size() > 1 && m_blocks[1].end <= m_pos) m_blocks.pop_front();
    trim();
}

void StreamCheck::trim() {
    // Only bytes from the current position on are ever looked at again.
    constexpr qint64 kKeep = 64 * 1024;
    if (m_pos - m_expStart < kKeep) return;
    m_exp.remove(0, m_pos - m_expStart);
    m_expStart = m_pos;
}

void StreamCheck::fail(FailureKind kind, qint64 position) {
    if (m_first && !m_observer) return;
    StreamFailure failure;
    failure.kind = kind;
    failure.byte = position + 1;
    failure.received = kind == FailureKind::TimeOut ? m_counts.received - m_held.size() : m_heldAt;
    for (const Block& b : m_blocks) {
        if (kind == FailureKind::Extra && b.end == position) {
            // Added after the block's last byte, before the next block's first.
            failure.block = b.number;
            failure.byteInBlock = b.end - b.start + 1;
            break;
        }
        if (b.start <= position && position < b.end) {
            failure.block = b.number;
            failure.byteInBlock = position - b.start + 1;
            break;
        }
    }
    if (kind != FailureKind::Extra && position >= m_expStart && position < m_expEnd)
        failure.expected = static_cast<unsigned char>(expectedAt(position));
    if ((kind == FailureKind::Mismatch || kind == FailureKind::Extra) && !m_held.isEmpty())
        failure.got = static_cast<unsigned char>(m_held.at(0));
    if (!m_first) m_first = failure;
    if (m_observer) m_observer(failure);
}

// What the first held byte, which differs from the expected one, is taken to be: the guess with
// the most agreeing bytes after it, a plain mismatch first among equals, then the shortest
// shift. Nothing is decided while a guess that may still come out best waits for bytes.
std::optional<StreamCheck::Guess> StreamCheck::guess(bool force) const {
    const qsizetype held = m_held.size();
    auto judge = [&](Shift shift, int by, qsizetype ri, qint64 ei) {
        int agree = 0;
        while (agree < kAgree && ri + agree < held && ei + agree < m_expEnd &&
               m_held.at(ri + agree) == expectedAt(ei + agree))
            ++agree;
        const bool whole = agree == kAgree || ei + agree == m_expEnd;
        const bool starved = ri + agree >= held;
        return Guess{shift, by, agree, whole || !starved};
    };
    Guess guesses[1 + 2 * kMaxShift];
    int count = 0;
    bool unseen = false;  // a shift that cannot be looked past yet
    guesses[count++] = judge(Shift::Mismatch, 1, 1, m_pos + 1);
    for (int by = 1; by <= kMaxShift; ++by) {
        if (m_pos + by < m_expEnd) guesses[count++] = judge(Shift::Missing, by, 0, m_pos + by);
        if (by < held)
            guesses[count++] = judge(Shift::Extra, by, by, m_pos);
        else
            unseen = true;
    }
    Guess best = guesses[0];
    for (int i = 1; i < count; ++i)
        if (guesses[i].agree > best.agree) best = guesses[i];
    bool mayChange = unseen;
    for (int i = 0; i < count; ++i)
        if (!guesses[i].decided && guesses[i].agree >= best.agree) mayChange = true;
    if (!force && best.agree < kAgree && mayChange) return std::nullopt;
    return best;
}

void StreamCheck::place(bool force) {
    qsizetype at = 0;  // bytes of m_held placed so far
    auto take = [this, &at](qsizetype count) {
        at += count;
        m_heldAt += count;
    };
    while (at < m_held.size()) {
        if (m_pos == m_expEnd) {
            // Nothing sent is still to come back: the rest can only be extra.
            fail(FailureKind::Extra, m_pos);
            m_counts.extra += m_held.size() - at;
            take(m_held.size() - at);
            break;
        }
        qint64 pos = m_pos;
        qsizetype run = 0;
        while (at + run < m_held.size() && pos < m_expEnd &&
               m_held.at(at + run) == expectedAt(pos)) {
            ++run;
            ++pos;
        }
        if (run > 0) {
            m_counts.matched += run;
            take(run);
            advanceTo(pos);
            continue;
        }
        // Guesses look at the held bytes from their start.
        m_held.remove(0, at);
        at = 0;
        const std::optional<Guess> g = guess(force);
        if (!g) break;
        switch (g->shift) {
            case Shift::Mismatch:
                fail(FailureKind::Mismatch, m_pos);
                ++m_counts.mismatched;
                take(1);
                advanceTo(m_pos + 1);
                break;
            case Shift::Missing:
                fail(FailureKind::Missing, m_pos);
                m_counts.missing += g->by;
                advanceTo(m_pos + g->by);
                break;
            case Shift::Extra:
                fail(FailureKind::Extra, m_pos);
                m_counts.extra += g->by;
                take(g->by);
                break;
        }
    }
    m_held.remove(0, at);
}

}  // namespace parvolo
