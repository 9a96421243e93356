#include "serial/line_marks.h"

namespace parvolo {

std::vector<LineMarks::Found> LineMarks::strip(QByteArray& bytes) {
    std::vector<Found> found;
    qsizetype out = 0;
    for (const char c : bytes) {
        const quint8 byte = quint8(c);
        switch (m_state) {
            case State::Data:
                if (byte == 0xFF)
                    m_state = State::Escape;
                else
                    bytes[out++] = c;
                break;
            case State::Escape:
                if (byte == 0x00) {
                    m_state = State::Marked;
                } else {
                    // 0xff 0xff is a 0xff of the data; anything else the discipline never sends,
                    // and is kept as it came.
                    if (byte != 0xFF) bytes[out++] = char(0xFF);
                    bytes[out++] = c;
                    m_state = State::Data;
                }
                break;
            case State::Marked:
                found.push_back({out, byte == 0x00 ? Mark::Break : Mark::Damaged});
                bytes[out++] = c;
                m_state = State::Data;
                break;
        }
    }
    bytes.truncate(out);
    return found;
}

}  // namespace parvolo
