#pragma once

#include <QByteArray>
#include <QChar>
#include <QString>

// The system code page of the window, CP932 (Windows-31J). Sent text is encoded with it
// (ASCII and half-width katakana one byte each, other characters two); a received byte is
// shown and compared as the one character it stands for in the single-byte table.
namespace parvolo::code_page {

QByteArray encode(const QString& text);

inline QChar byteToChar(unsigned char byte) {
    if (byte < 0x80) return QChar(byte);
    if (byte >= 0xA1 && byte <= 0xDF) return QChar(char16_t(0xFF61 + (byte - 0xA1)));
    return QChar(QChar::ReplacementCharacter);
}

QString decodeBytes(const char* data, qsizetype size);
inline QString decodeBytes(const QByteArray& bytes) {
    return decodeBytes(bytes.constData(), bytes.size());
}

}  // namespace parvolo::code_page
