#pragma once

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

// The loopback comparison. Every received byte is compared with the character of the expected
// data at the current position; a block is complete when as many bytes have arrived as the
// expected data has characters, and the rest of the read that completed it is dropped. A block
// that does not complete in time is abandoned and counts as one mismatch. The window and the
// headless checker both feed their reads through this class, so a run counts the same in both.
namespace parvolo {

struct LoopbackCounters {
    qint32 blocks = 0;         // blocks whose received length reached the expected length
    qint32 matchedBytes = 0;   // bytes equal to the expected character
    qint32 mismatches = 0;     // unequal bytes plus abandoned blocks
    qint32 receivedBytes = 0;  // every byte read
    qint32 lineErrors = 0;     // break, framing, overrun, parity
    qint32 firstMismatch = 0;  // position (from 1) of the first mismatch or abandoned block; 0 none

    bool operator==(const LoopbackCounters&) const = default;
};

class LoopbackCheck {
public:
    // What one read did.
    struct FeedResult {
        // The leading bytes of the read that were taken in; after a completed block the rest of
        // the read is dropped: neither shown nor compared.
        qsizetype taken = 0;
        bool blockComplete = false;
        bool matchedChanged = false;
        bool mismatchesChanged = false;
        bool firstMismatchChanged = false;
        // A counter would have passed its largest value while taking byte `taken`; the counts
        // stop there.
        bool overflowed = false;
    };

    const LoopbackCounters& counters() const { return m_counters; }
    // Counting goes on from the given values (a run resumed where another stopped; tests use
    // it to bring a counter to its limit).
    void presetCounters(const LoopbackCounters& counters) { m_counters = counters; }

    // The block in progress.
    qint32 comparePosition() const { return m_comparePosition; }
    qint32 blockBytes() const { return m_blockBytes; }
    qint16 compareIndex() const { return m_compareIndex; }
    qint16 sendLength() const { return m_sendLength; }
    // A block has completed and the next transmission is not yet decided.
    bool blockDone() const { return m_blockDone; }
    void clearBlockDone() { m_blockDone = false; }

    // Opening the port starts every count again except the first-mismatch position, which is
    // only cleared by the start of a run (until then the window goes on showing the old one).
    // Throws ArithmeticOverflow for a send text longer than 32,767 characters.
    void resetForOpen(qsizetype sendLength);
    // The start of a run starts everything again.
    void resetForRun(qsizetype sendLength);

    // Takes in one read. Without compare the bytes are only counted as received. Throws
    // ArithmeticOverflow, before anything is counted, for expected data longer than 32,767
    // characters or a received-byte count that would pass its largest value.
    FeedResult feed(QByteArrayView bytes, const QString& expected, bool compare);

    // The block timed out: one mismatch, and its bytes so far are given up. Throws
    // ArithmeticOverflow when the mismatch count is full.
    void abandonBlock();

    // Throws ArithmeticOverflow when the count is full.
    void countLineError();

private:
    void resetCounts(qsizetype sendLength);
    // Returns whether the byte completed the block.
    bool compareByte(unsigned char byte, const QString& expected, FeedResult& fed);

    LoopbackCounters m_counters;
    qint32 m_comparePosition = 0;
    qint32 m_blockBytes = 0;
    qint16 m_compareIndex = 1;
    qint16 m_sendLength = 0;
    bool m_blockDone = false;
};

}  // namespace parvolo
