#include "serial/line_settings.h"

#include <QStringList>
#include <limits>

#include "serial/serial_error.h"

namespace parvolo {

namespace {

struct ParityRow {
    Parity parity;
    char letter;
};
constexpr ParityRow kParityLetters[] = {{Parity::None, 'N'},
                                        {Parity::Even, 'E'},
                                        {Parity::Odd, 'O'},
                                        {Parity::Mark, 'M'},
                                        {Parity::Space, 'S'}};

}  // namespace

QChar parityLetter(Parity parity) {
    for (const ParityRow& row : kParityLetters)
        if (row.parity == parity) return QLatin1Char(row.letter);
    return QLatin1Char('N');
}

FlowControl flowControlOf(qint32 handshaking) {
    if (handshaking < 0 || handshaking > 3) throw SerialError::invalidValue();
    return FlowControl(handshaking);
}

LineSettings parseSettings(const QString& text, FlowControl flow) {
    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 4) throw SerialError::invalidValue();
    LineSettings s;
    s.flow = flow;
    bool ok = false;
    const qint64 baud = fields[0].trimmed().toLongLong(&ok);
    if (!ok || baud <= 0 || baud > std::numeric_limits<qint32>::max())
        throw SerialError::invalidValue();
    s.baudRate = qint32(baud);

    const QString letter = fields[1].trimmed().toUpper();
    const ParityRow* parity = nullptr;
    for (const ParityRow& row : kParityLetters)
        if (letter == QLatin1Char(row.letter)) parity = &row;
    if (!parity) throw SerialError::invalidValue();
    s.parity = parity->parity;

    const int data = fields[2].trimmed().toInt(&ok);
    if (!ok || data < 5 || data > 8) throw SerialError::invalidValue();
    s.dataBits = DataBits(data);
    const int stop = fields[3].trimmed().toInt(&ok);
    if (!ok || (stop != 1 && stop != 2)) throw SerialError::invalidValue();
    s.stopBits = StopBits(stop);
    return s;
}

}  // namespace parvolo
