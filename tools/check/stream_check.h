#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>
#include <deque>
#include <functional>
#include <optional>

// The checker's own accounting of the echo: every block sent is appended to one expected byte
// stream, and every byte read is placed in it. A byte that differs is a mismatch; when the bytes
// after a difference agree with the expected stream shifted by a few bytes, the difference is
// bytes that went missing or bytes that were added instead; bytes beyond what was sent are
// extra. A block whose deadline passes gives up its bytes not yet placed as timed out. So a
// lost, added or late byte is found where it happened, and nothing that came back goes
// uncompared, however many blocks are in flight.
namespace parvolo {

enum class FailureKind { Mismatch, Missing, Extra, TimeOut };

QString failureWord(FailureKind kind);

struct StreamFailure {
    FailureKind kind = FailureKind::Mismatch;
    qint64 block = 0;        // from 1
    qint64 byte = 0;         // position in the stream of sent bytes, from 1
    qint64 byteInBlock = 0;  // from 1; an extra byte after a block's end is its length + 1
    qint64 received = 0;     // bytes read up to it (the received byte's own position, from 1)
    int expected = -1;       // the byte that should have come there; -1 where none was due
    int got = -1;            // the byte that came instead; -1 for a missing or timed-out one

    bool operator==(const StreamFailure&) const = default;
};

struct StreamCounts {
    qint64 matched = 0;
    qint64 mismatched = 0;
    qint64 missing = 0;
    qint64 extra = 0;
    qint64 timedOutBytes = 0;
    qint64 timedOutBlocks = 0;
    qint64 completedBlocks = 0;  // placed in full without timing out
    qint64 received = 0;

    qint64 compared() const { return matched + mismatched; }
    bool operator==(const StreamCounts&) const = default;
};

class StreamCheck {
public:
    // A shift is believed when this many bytes after the difference agree with it (or all the
    // expected bytes there are, when fewer were sent).
    static constexpr int kAgree = 8;
    // The longest run of missing or added bytes told apart from mismatches.
    static constexpr int kMaxShift = 4;

    // Appends a sent block; returns its number.
    qint64 expect(QByteArrayView block);
    // Places the bytes read. Bytes right after a difference may be held back until enough have
    // come to tell what the difference was.
    void feed(QByteArrayView bytes);
    // Decides what is held back with what has come (the end of a run).
    void settle();
    // The block's deadline passed: what is held back is decided, and the block's bytes (and any
    // earlier block's) not yet placed time out.
    void expire(qint64 block);

    const StreamCounts& counts() const { return m_counts; }
    const std::optional<StreamFailure>& firstFailure() const { return m_first; }
    // Told of every failure as it is found, not only the first (the event log).
    void setFailureObserver(std::function<void(const StreamFailure&)> observer) {
        m_observer = std::move(observer);
    }
    // Blocks sent, and those whose every byte is placed or timed out.
    qint64 sentBlocks() const { return m_sentBlocks; }
    qint64 resolvedBlocks() const { return m_resolvedBlocks; }
    qint64 sentBytes() const { return m_expEnd; }
    bool failed() const { return m_first.has_value(); }

private:
    struct Block {
        qint64 number;
        qint64 start;
        qint64 end;
        bool timedOut = false;
    };
    enum class Shift { Mismatch, Missing, Extra };
    struct Guess {
        Shift shift;
        int by;
        int agree;
        bool decided;
    };

    void place(bool force);
    std::optional<Guess> guess(bool force) const;
    char expectedAt(qint64 position) const { return m_exp.at(position - m_expStart); }
    void advanceTo(qint64 position);
    void fail(FailureKind kind, qint64 position);
    std::function<void(const StreamFailure&)> m_observer;
    void trim();

    QByteArray m_exp;  // expected bytes from m_expStart
    qint64 m_expStart = 0;
    qint64 m_expEnd = 0;
    qint64 m_pos = 0;            // expected bytes placed so far
    QByteArray m_held;           // bytes read and not yet placed
    qint64 m_heldAt = 0;         // received position of m_held's first byte, from 1
    std::deque<Block> m_blocks;  // the blocks not yet resolved, and the last resolved one
    qint64 m_sentBlocks = 0;
    qint64 m_resolvedBlocks = 0;
    StreamCounts m_counts;
    std::optional<StreamFailure> m_first;
};

}  // namespace parvolo
