#include "engine/code_page.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

namespace parvolo::code_page {

namespace {

// Encodes one UTF-16 unit sequence with iconv; characters the code page lacks become '?'.
QByteArray encodeWithIconv(const QString& text) {
    iconv_t cd = iconv_open("CP932", "UTF-16LE");
    if (cd == reinterpret_cast<iconv_t>(-1)) return text.toLatin1();
    QByteArray out;
    out.reserve(text.size() * 2);
    std::vector<char> buffer(16);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype units = (text.at(i).isHighSurrogate() && i + 1 < text.size()) ? 2 : 1;
        char16_t in[2] = {text.at(i).unicode(), units == 2 ? text.at(i + 1).unicode() : u'\0'};
        char* inPtr = reinterpret_cast<char*>(in);
        size_t inLeft = size_t(units) * 2;
        char* outPtr = buffer.data();
        size_t outLeft = buffer.size();
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == size_t(-1)) {
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            out.append('?');
        } else {
            out.append(buffer.data(), qsizetype(buffer.size() - outLeft));
        }
        i += units - 1;
    }
    iconv_close(cd);
    return out;
}

bool isSingleByte(QChar c) {
    const char16_t u = c.unicode();
    return u < 0x80 || (u >= 0xFF61 && u <= 0xFF9F);
}

}  // namespace

QByteArray encode(const QString& text) {
    // The common case (test patterns, typed ASCII) needs no converter.
    QByteArray out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (!isSingleByte(c)) return encodeWithIconv(text);
        const char16_t u = c.unicode();
        out.append(char(u < 0x80 ? u : 0xA1 + (u - 0xFF61)));
    }
    return out;
}

QString decodeBytes(const char* data, qsizetype size) {
    QString text(size, Qt::Uninitialized);
    QChar* out = text.data();
    for (qsizetype i = 0; i < size; ++i) out[i] = byteToChar(static_cast<unsigned char>(data[i]));
    return text;
}

}  // namespace parvolo::code_page
