#pragma once

// Received bytes as the line discipline hands them over with PARMRK (and INPCK): 0xff 0xff is a
// data byte 0xff, 0xff 0x00 X is X received damaged (a parity or framing error), 0xff 0x00 0x00
// a break (or a damaged NUL: the marks cannot tell them apart). This takes the marks out and
// says where they were; a mark cut between two reads is carried over to the next.

#include <QByteArray>
#include <vector>

namespace parvolo {

class LineMarks {
public:
    enum class Mark { Damaged, Break };
    struct Found {
        qsizetype at;  // where the marked byte is in the bytes handed back
        Mark mark;
    };

    // Takes the marks out of `bytes` in place and returns what they marked, in order.
    std::vector<Found> strip(QByteArray& bytes);
    void reset() { m_state = State::Data; }

private:
    enum class State { Data, Escape, Marked };
    State m_state = State::Data;
};

}  // namespace parvolo
