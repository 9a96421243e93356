// The errors of a port on another machine and the pieces of their texts; declared with every
// other error in serial_error.h.

#include "serial/serial_error.h"

#include <cerrno>

namespace parvolo {

SerialError SerialError::badRemoteName(const QString& url, const QString& problem) {
    return SerialError(Code::NoSuchPort, SerialReason::BadName,
                       SerialTexts::tr("%1 is not a remote port name: %2. Give it as "
                                       "rfc2217://HOST:PORT")
                           .arg(url, problem));
}

SerialError SerialError::remoteHostNotFound(const QString& url, const QString& host,
                                            const QString& reason) {
    return SerialError(
        Code::NoSuchPort, SerialReason::Unreachable,
        SerialTexts::tr("Cannot connect to %1: host %2 not found (%3)").arg(url, host, reason));
}

SerialError SerialError::remoteLookupTimedOut(const QString& url, const QString& host, int ms) {
    return SerialError(
        Code::NoSuchPort, SerialReason::Unreachable,
        SerialTexts::tr("Cannot connect to %1: host %2 not found (no answer to the name "
                        "lookup; waited %3)")
            .arg(url, host, remote_texts::seconds(ms)));
}

SerialError SerialError::remoteUnreachable(const QString& url, int err) {
    // Nobody listening at that address is, to the operator, a port that is not there.
    switch (err) {
        case ECONNREFUSED:
            return SerialError(
                Code::NoSuchPort, SerialReason::Unreachable,
                SerialTexts::tr("Cannot connect to %1: %2 (the server is not running, or "
                                "the port number is wrong)")
                    .arg(url, osReason(err)));
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EADDRNOTAVAIL:
        case EAFNOSUPPORT:
            return SerialError(Code::NoSuchPort, SerialReason::Unreachable,
                               SerialTexts::tr("Cannot connect to %1: %2").arg(url, osReason(err)));
        default:
            return SerialError(Code::OpenFailed, SerialReason::Unreachable,
                               SerialTexts::tr("Cannot connect to %1: %2").arg(url, osReason(err)));
    }
}

SerialError SerialError::remoteConnectTimedOut(const QString& url, int ms) {
    return SerialError(
        Code::OpenFailed, SerialReason::Unreachable,
        SerialTexts::tr("Cannot connect to %1: no answer to the connection (waited %2)")
            .arg(url, remote_texts::seconds(ms)));
}

SerialError SerialError::remoteNoAnswer(const QString& url, const QString& what, int ms) {
    return SerialError(
        Code::OpenFailed, SerialReason::ServerSilent,
        SerialTexts::tr("The server of %1 does not answer: no answer to %2 (waited %3)")
            .arg(url, what, remote_texts::seconds(ms)));
}

SerialError SerialError::remoteRefusedControl(const QString& url) {
    return SerialError(
        Code::OpenFailed, SerialReason::ServerRefused,
        SerialTexts::tr("The server of %1 refused Telnet COM port control. Neither the line "
                        "settings nor RTS/DTR could be changed, so it is not opened")
            .arg(url));
}

SerialError SerialError::remoteClosed(const QString& url, const QString& said) {
    const QString text = SerialTexts::tr("The server of %1 closed the connection").arg(url);
    return SerialError(Code::OpenFailed, SerialReason::ServerRefused,
                       said.isEmpty() ? text : SerialTexts::tr("%1: \"%2\"").arg(text, said));
}

SerialError SerialError::remoteOpenCancelled(const QString& url) {
    return SerialError(Code::OpenFailed, SerialReason::Misuse,
                       SerialTexts::tr("%1 was closed while it was being opened").arg(url));
}

SerialError SerialError::remoteSettingUnanswered(const QString& url, const QString& what, int ms) {
    return settingRefused(url, what, remote_texts::serverSilent(ms));
}

SerialError SerialError::remoteLineRefused(const QString& url, const QString& line, bool on,
                                           const QString& problem) {
    return lineRefused(url, line, on, problem);
}

namespace remote_texts {

QString notRemoteScheme() {
    return SerialTexts::tr("it does not begin with rfc2217://");
}

QString noHost() {
    return SerialTexts::tr("there is no host name");
}

QString noPort() {
    return SerialTexts::tr("there is no port number");
}

QString badPort(const QString& port) {
    return SerialTexts::tr("the port number %1 must be a number from 1 to 65535").arg(port);
}

QString trailingText(const QString& text) {
    return SerialTexts::tr("there is extra text %1 after the port number").arg(text);
}

QString badHostCharacters(const QString& host) {
    return SerialTexts::tr("the host name %1 has characters that cannot be used").arg(host);
}

QString badIpv6(const QString& host) {
    return SerialTexts::tr("[%1] is not an IPv6 address").arg(host);
}

QString ipv6NeedsBrackets() {
    return SerialTexts::tr("put an IPv6 address in [ ]");
}

QString serverAnswered(const QString& line, bool on) {
    return SerialTexts::tr("the server answered %1 %2").arg(line, setting_texts::onOff(on));
}

QString serverAnsweredCode(int code) {
    return SerialTexts::tr("the server answered code %1").arg(code);
}

QString serverSilent(int ms) {
    return SerialTexts::tr("no answer from the server (waited %1)").arg(seconds(ms));
}

QString seconds(int ms) {
    return SerialTexts::tr("%1 s").arg(QString::number(ms / 1000.0, 'g', 4));
}

QString comPortControlOffer() {
    return SerialTexts::tr("the offer of COM port control");
}

}  // namespace remote_texts

}  // namespace parvolo
