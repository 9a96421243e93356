#include "engine/loopback_check.h"

#include "engine/checked_int.h"
#include "engine/code_page.h"

namespace parvolo {

void LoopbackCheck::resetCounts(qsizetype sendLength) {
    m_sendLength = checkedNarrow<qint16>(sendLength);
    m_compareIndex = 1;
    m_blockBytes = 0;
    m_comparePosition = 0;
    m_blockDone = false;
    const qint32 firstMismatch = m_counters.firstMismatch;
    m_counters = LoopbackCounters{};
    m_counters.firstMismatch = firstMismatch;
}

void LoopbackCheck::resetForOpen(qsizetype sendLength) {
    resetCounts(sendLength);
}

void LoopbackCheck::resetForRun(qsizetype sendLength) {
    resetCounts(sendLength);
    m_counters.firstMismatch = 0;
}

LoopbackCheck::FeedResult LoopbackCheck::feed(QByteArrayView bytes, const QString& expected,
                                              bool compare) {
    m_sendLength = checkedNarrow<qint16>(expected.size());
    m_counters.receivedBytes =
        checkedAdd<qint32>(m_counters.receivedBytes, checkedNarrow<qint32>(bytes.size()));
    FeedResult fed;
    if (!compare) {
        fed.taken = bytes.size();
        return fed;
    }
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        fed.taken = i + 1;  // a byte is shown before it is compared
        try {
            if (compareByte(static_cast<unsigned char>(bytes[i]), expected, fed)) {
                fed.blockComplete = true;
                break;
            }
        } catch (const ArithmeticOverflow&) {
            fed.overflowed = true;
            break;
        }
    }
    return fed;
}

bool LoopbackCheck::compareByte(unsigned char byte, const QString& expected, FeedResult& fed) {
    checkedIncrement(m_comparePosition);
    if (m_sendLength != 0) {
        // A position past the end of the expected data (it may have shrunk since the block
        // began) never matches.
        const bool inRange = m_compareIndex >= 1 && m_compareIndex <= expected.size();
        if (inRange && code_page::byteToChar(byte) == expected.at(m_compareIndex - 1)) {
            checkedIncrement(m_counters.matchedBytes);
            fed.matchedChanged = true;
        } else {
            checkedIncrement(m_counters.mismatches);
            fed.mismatchesChanged = true;
            if (m_counters.firstMismatch == 0) {
                m_counters.firstMismatch = m_comparePosition;
                fed.firstMismatchChanged = true;
            }
        }
        if (m_compareIndex < m_sendLength)
            ++m_compareIndex;
        else if (m_compareIndex == m_sendLength)
            m_compareIndex = 1;
    }
    checkedIncrement(m_blockBytes);
    if (m_blockBytes < m_sendLength) return false;
    checkedIncrement(m_counters.blocks);
    m_blockBytes = 0;
    m_blockDone = true;
    m_compareIndex = 1;
    return true;
}

void LoopbackCheck::abandonBlock() {
    m_compareIndex = 1;
    m_blockBytes = 0;
    checkedIncrement(m_counters.mismatches);
    if (m_counters.firstMismatch == 0) m_counters.firstMismatch = m_comparePosition;
}

void LoopbackCheck::countLineError() {
    checkedIncrement(m_counters.lineErrors);
}

}  // namespace parvolo
