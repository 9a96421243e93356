#include "serial/serial_error.h"

#include "serial/com_numbers.h"

#include <QFile>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "serial/port_holders.h"
#include "serial/port_use.h"

namespace parvolo {

namespace {

QString groupName(gid_t gid) {
    const group* entry = ::getgrgid(gid);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(gid);
}

bool inGroups(gid_t gid, const std::vector<gid_t>& groups) {
    for (gid_t g : groups)
        if (g == gid) return true;
    return false;
}

std::vector<gid_t> sessionGroups() {
    std::vector<gid_t> groups(size_t(std::max(0, ::getgroups(0, nullptr))));
    groups.resize(size_t(std::max(0, ::getgroups(int(groups.size()), groups.data()))));
    groups.push_back(::getegid());
    return groups;
}

// The groups the user database gives the user now, which a new login would have.
std::vector<gid_t> databaseGroups() {
    const passwd* user = ::getpwuid(::getuid());
    if (!user) return {};
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
        groups.resize(size_t(count));
        if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) return {};
    }
    groups.resize(size_t(count));
    return groups;
}

}  // namespace

bool isDeviceGone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV || err == EBADF;
}

DeviceAccess deviceAccess(const QString& path) {
    DeviceAccess access;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return access;
    constexpr mode_t kReadWrite = S_IRGRP | S_IWGRP;
    // Open to everyone and still refused: something else (an ACL, a security module) said no.
    if ((st.st_mode & (S_IROTH | S_IWOTH)) == (S_IROTH | S_IWOTH)) return access;
    access.unknown = false;
    access.owner = userName(st.st_uid);
    if ((st.st_mode & kReadWrite) != kReadWrite || st.st_gid == 0) return access;
    access.group = groupName(st.st_gid);
    access.joined = inGroups(st.st_gid, databaseGroups()) && !inGroups(st.st_gid, sessionGroups());
    return access;
}

SerialError::SerialError(Code code, const QString& description)
    : std::runtime_error(description.toStdString()), m_code(code), m_description(description) {}

QString osReason(int err) {
    // strerror follows LC_MESSAGES, which QApplication sets; the reason stays the C library's
    // plain text whatever the locale.
    const char* text = ::strerrordesc_np(err);
    return text ? QString::fromLatin1(text) : QStringLiteral("error %1").arg(err);
}

SerialError SerialError::invalidValue() {
    return SerialError(Code::InvalidValue, QStringLiteral("プロパティの値が無効です"));
}

SerialError SerialError::invalidPortNumber(int port) {
    return SerialError(Code::InvalidPort, QStringLiteral("ポート番号が不正です: COM%1").arg(port));
}

SerialError SerialError::alreadyOpen() {
    return SerialError(Code::AlreadyOpen, QStringLiteral("ポートはすでに開いています"));
}

SerialError SerialError::notOpen() {
    return SerialError(Code::NotOpen,
                       QStringLiteral("ポートが開いていないため、この操作はできません"));
}

SerialError SerialError::openFailed(const QString& path, int err) {
    switch (err) {
        case EACCES:
        case EPERM:
            return permissionDenied(path, err, deviceAccess(path));
        case EBUSY:
        case EWOULDBLOCK:  // from flock(LOCK_NB)
            return busy(path, PortHolder{});
        case ENOTTY:
            return SerialError(
                Code::NoSuchPort,
                QStringLiteral("%1 はシリアルポートではありません: %2").arg(path, osReason(err)));
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
        case EISDIR:
        case ELOOP:
        case ENAMETOOLONG:
        case EIO:  // a /dev/ttyS node without a UART behind it
            return SerialError(Code::NoSuchPort,
                               QStringLiteral("%1 を開けません: %2").arg(path, osReason(err)));
        default:
            return SerialError(Code::OpenFailed,
                               QStringLiteral("%1 を開けません: %2").arg(path, osReason(err)));
    }
}

QString permissionHint(const DeviceAccess& access) {
    if (access.unknown) return QString();
    if (access.group.isEmpty())
        return access.owner == QLatin1String("root")
                   ? QStringLiteral("このデバイスは root だけが開けます")
                   : QStringLiteral("このデバイスは所有者の %1 と root だけが開けます")
                         .arg(access.owner);
    if (access.joined)
        return QStringLiteral(
                   "グループ %1 には参加済みですが、このログインにはまだ反映されていません。"
                   "ログインし直してください")
            .arg(access.group);
    return QStringLiteral(
               "グループ %1 に参加して (sudo usermod -aG %1 $USER)、ログインし直してください")
        .arg(access.group);
}

SerialError SerialError::permissionDenied(const QString& path, int err,
                                          const DeviceAccess& access) {
    QString text = QStringLiteral("%1 を開く権限がありません: %2").arg(path, osReason(err));
    const QString hint = permissionHint(access);
    if (!hint.isEmpty()) text += QStringLiteral("。") + hint;
    return SerialError(Code::PermissionDenied, text);
}

SerialError SerialError::busy(const QString& path, const PortHolder& holder) {
    QString who;
    if (holder.pid > 0 && !holder.program.isEmpty())
        who = QStringLiteral("%1 (PID %2) が使っています").arg(holder.program).arg(holder.pid);
    else if (holder.pid > 0)
        who = QStringLiteral("PID %1 のプログラムが使っています").arg(holder.pid);
    else
        who = QStringLiteral("他のプログラムが使っています");
    return SerialError(Code::Busy, QStringLiteral("%1 は使用中です: %2").arg(path, who));
}

namespace {

QString fileKindText(mode_t type) {
    switch (type) {
        case S_IFIFO:
            return QStringLiteral("FIFO");
        case S_IFLNK:
            return QStringLiteral("シンボリックリンク");
        case S_IFDIR:
            return QStringLiteral("ディレクトリ");
        case S_IFCHR:
        case S_IFBLK:
            return QStringLiteral("デバイス");
        case S_IFSOCK:
            return QStringLiteral("ソケット");
        default:
            return QStringLiteral("通常のファイルではないもの");
    }
}

QString lockProblemText(const LockFileState& lock) {
    using Kind = LockFileState::Kind;
    const QString file = QStringLiteral("ロックファイル %1").arg(lock.path);
    switch (lock.kind) {
        case Kind::Empty:
            return file + QStringLiteral(" が空です");
        case Kind::TooLarge:
            return file + QStringLiteral(" はロックファイルにしては大きすぎます (%1 バイト)")
                              .arg(lock.size);
        case Kind::NotANumber:
            return file + QStringLiteral(" に PID が書かれていません");
        case Kind::PidOutOfRange:
            return file + QStringLiteral(" の PID はどのプロセスにもありえない値です");
        case Kind::NotAFile:
            return file +
                   QStringLiteral(" がファイルではなく %1 です").arg(fileKindText(lock.type));
        case Kind::Unreadable:
            return file + QStringLiteral(" (所有者 %1) を読めません: %2")
                              .arg(userName(lock.owner), osReason(lock.error));
        case Kind::CannotRemove:
            return QStringLiteral("古い") + file +
                   QStringLiteral(" (所有者 %1) を削除できません: %2")
                       .arg(userName(lock.owner), osReason(lock.error));
        case Kind::Missing:
        case Kind::Pid:
            break;
    }
    return file;
}

}  // namespace

SerialError SerialError::inSystemUse(const QString& path, const PortUse& use) {
    const QString what = use.kind == PortUse::Kind::Console
                             ? QStringLiteral("カーネルのコンソール (%1) です").arg(use.by)
                             : QStringLiteral("ログイン用の端末です (%1)").arg(use.by);
    return SerialError(
        Code::Busy, QStringLiteral("%1 は%2。テストデータを送るとシステムの邪魔になるため開きません"
                                   " (使うには PARVOLO_ALLOW_CONSOLE=1)")
                        .arg(path, what));
}

SerialError SerialError::lockInTheWay(const QString& path, const LockFileState& lock) {
    // Without a lock other programs cannot see that the port is taken, so it is not opened;
    // the message names the file, so that whoever may remove it can.
    return SerialError(Code::Busy, QStringLiteral("%1 が使用中かどうか確かめられません: %2。"
                                                  "確かめてから取り除いてください")
                                       .arg(path, lockProblemText(lock)));
}

SerialError SerialError::exclusiveLeftOver(const QString& path) {
    // Nothing tells a pty's user from its far end, so both causes are named.
    return SerialError(
        Code::Busy, QStringLiteral("%1 は排他モードになっています: 他のプログラムが使っているか、"
                                   "使っていたプログラムが閉じずに終了しました")
                        .arg(path));
}

SerialError SerialError::comPortReachesNothing(const ComPort& port, const ComNumbers& numbers,
                                               const QString& opening) {
    QString text;
    if (!port.unplugged.isEmpty())
        text = QStringLiteral("%1 の %2 はつながっていません").arg(port.name(), port.unplugged);
    else if (port.source == ComPort::Source::HandLink)
        text = QStringLiteral("%1 のリンク先 %2 がありません (リンク %3)")
                   .arg(port.name(), port.linkTarget, port.path);
    else
        text = QStringLiteral("%1 には何もつながっていません (%2)").arg(port.name(), opening);
    const QString reachable = numbers.reachable();
    return SerialError(
        Code::NoSuchPort,
        text + (reachable.isEmpty() ? QStringLiteral("。デバイスのある COM 番号はありません")
                                    : QStringLiteral("。デバイスのある COM 番号: ") + reachable));
}

SerialError SerialError::serialNumberNotOne(const QString& name,
                                            const QList<SerialPortInfo>& matching,
                                            const QList<SerialPortInfo>& numbered) {
    auto names = [](const QList<SerialPortInfo>& devices, bool withInterface) {
        QStringList words;
        for (const SerialPortInfo& d : devices)
            words << (withInterface ? QStringLiteral("%1 (%2:%3)")
                                          .arg(d.node, d.serialNumber, d.interfaceNumber)
                                    : QStringLiteral("%1 (%2)").arg(d.serialNumber, d.node));
        return words.join(QStringLiteral(", "));
    };
    if (!matching.isEmpty())
        return SerialError(Code::NoSuchPort,
                           QStringLiteral("%1 に当たるデバイスが %2 つあります: %3。"
                                          "serial:番号:インターフェース で選んでください")
                               .arg(name)
                               .arg(matching.size())
                               .arg(names(matching, true)));
    return SerialError(
        Code::NoSuchPort,
        QStringLiteral("%1 のシリアル番号の USB デバイスはつながっていません。%2")
            .arg(name, numbered.isEmpty() ? QStringLiteral("シリアル番号のあるデバイスはありません")
                                          : QStringLiteral("シリアル番号のあるデバイス: ") +
                                                names(numbered, false)));
}

SerialError SerialError::stillClosing(const QString& path) {
    return SerialError(
        Code::StillClosing,
        // The kernel's last close waits until what was queued has left, and some drivers then
        // wait longer (pl2303: 2 s at 1200 baud and below); flow control can hold it far longer.
        QStringLiteral("%1 はまだ閉じている途中です (カーネルが送信の終わりを待っています)。"
                       "しばらくしてから開き直してください")
            .arg(path));
}

SerialError SerialError::settingRefused(const QString& path, const QString& what,
                                        const QString& problem) {
    return SerialError(Code::SettingRefused,
                       QStringLiteral("%1 に %2 を設定できません: %3").arg(path, what, problem));
}

SerialError SerialError::lineRefused(const QString& path, const QString& line, bool on, int err) {
    return SerialError(
        Code::LineRefused,
        QStringLiteral("%1 の %2 を%3にできません: %4")
            .arg(path, line, on ? QStringLiteral("オン") : QStringLiteral("オフ"), osReason(err)));
}

SerialError SerialError::badRemoteName(const QString& url, const QString& problem) {
    return SerialError(Code::NoSuchPort,
                       QStringLiteral("%1 はリモートポートの名前として正しくありません: %2。"
                                      "rfc2217://ホスト:ポート番号 の形で指定してください")
                           .arg(url, problem));
}

SerialError SerialError::remoteHostNotFound(const QString& url, const QString& host,
                                            const QString& reason) {
    return SerialError(Code::NoSuchPort,
                       QStringLiteral("%1 に接続できません: ホスト %2 が見つかりません (%3)")
                           .arg(url, host, reason));
}

SerialError SerialError::remoteLookupTimedOut(const QString& url, const QString& host, int ms) {
    return SerialError(
        Code::NoSuchPort,
        QStringLiteral("%1 に接続できません: ホスト %2 が見つかりません (名前の問い合わせに"
                       "答えがありません。待ち時間 %3)")
            .arg(url, host, RemoteTexts::seconds(ms)));
}

SerialError SerialError::remoteUnreachable(const QString& url, int err) {
    // Nobody listening at that address is, to the operator, a port that is not there.
    switch (err) {
        case ECONNREFUSED:
            return SerialError(Code::NoSuchPort,
                               QStringLiteral("%1 に接続できません: %2 (サーバーが動いていないか、"
                                              "ポート番号が違います)")
                                   .arg(url, osReason(err)));
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EADDRNOTAVAIL:
        case EAFNOSUPPORT:
            return SerialError(Code::NoSuchPort,
                               QStringLiteral("%1 に接続できません: %2").arg(url, osReason(err)));
        default:
            return SerialError(Code::OpenFailed,
                               QStringLiteral("%1 に接続できません: %2").arg(url, osReason(err)));
    }
}

SerialError SerialError::remoteConnectTimedOut(const QString& url, int ms) {
    return SerialError(Code::OpenFailed,
                       QStringLiteral("%1 に接続できません: 接続に答えがありません (待ち時間 %2)")
                           .arg(url, RemoteTexts::seconds(ms)));
}

SerialError SerialError::remoteNoAnswer(const QString& url, const QString& what, int ms) {
    return SerialError(
        Code::OpenFailed,
        QStringLiteral("%1 のサーバーが応答しません: %2に答えがありません (待ち時間 %3)")
            .arg(url, what, RemoteTexts::seconds(ms)));
}

SerialError SerialError::remoteRefusedControl(const QString& url) {
    return SerialError(Code::OpenFailed,
                       QStringLiteral("%1 のサーバーは Telnet の COM ポート制御を断りました。"
                                      "通信設定も RTS/DTR も変えられないため開きません")
                           .arg(url));
}

SerialError SerialError::remoteClosed(const QString& url, const QString& said) {
    QString text = QStringLiteral("%1 のサーバーが接続を切りました").arg(url);
    if (!said.isEmpty()) text += QStringLiteral(": 「%1」").arg(said);
    return SerialError(Code::OpenFailed, text);
}

SerialError SerialError::remoteOpenCancelled(const QString& url) {
    return SerialError(Code::OpenFailed,
                       QStringLiteral("%1 は開いている途中で閉じられました").arg(url));
}

SerialError SerialError::remoteSettingUnanswered(const QString& url, const QString& what, int ms) {
    return settingRefused(url, what, RemoteTexts::serverSilent(ms));
}

SerialError SerialError::remoteLineRefused(const QString& url, const QString& line, bool on,
                                           const QString& problem) {
    return SerialError(
        Code::LineRefused,
        QStringLiteral("%1 の %2 を%3にできません: %4")
            .arg(url, line, on ? QStringLiteral("オン") : QStringLiteral("オフ"), problem));
}

namespace RemoteTexts {

QString notRemoteScheme() {
    return QStringLiteral("rfc2217:// で始まっていません");
}

QString noHost() {
    return QStringLiteral("ホスト名がありません");
}

QString noPort() {
    return QStringLiteral("ポート番号がありません");
}

QString badPort(const QString& port) {
    return QStringLiteral("ポート番号 %1 は 1 から 65535 までの数でなければなりません").arg(port);
}

QString trailingText(const QString& text) {
    return QStringLiteral("ポート番号のあとに余分な文字列 %1 があります").arg(text);
}

QString badHostCharacters(const QString& host) {
    return QStringLiteral("ホスト名 %1 に使えない文字があります").arg(host);
}

QString badIpv6(const QString& host) {
    return QStringLiteral("[%1] は IPv6 アドレスではありません").arg(host);
}

QString ipv6NeedsBrackets() {
    return QStringLiteral("IPv6 アドレスは [ ] で囲んでください");
}

QString serverAnswered(const QString& line, bool on) {
    return QStringLiteral("サーバーの答えは %1 %2 です")
        .arg(line, on ? QStringLiteral("オン") : QStringLiteral("オフ"));
}

QString serverAnsweredCode(int code) {
    return QStringLiteral("サーバーの答えはコード %1 です").arg(code);
}

QString serverSilent(int ms) {
    return QStringLiteral("サーバーから答えがありません (待ち時間 %1)").arg(seconds(ms));
}

QString seconds(int ms) {
    return QStringLiteral("%1 秒").arg(QString::number(ms / 1000.0, 'g', 4));
}

}  // namespace RemoteTexts

namespace SettingTexts {

QString allSettings(const LineSettings& s) {
    return QStringLiteral("通信設定 %1,%2,%3,%4")
        .arg(QString::number(s.baudRate), QString(parityLetter(s.parity)),
             QString::number(s.dataBitCount()), QString::number(s.stopBitCount()));
}

QString baudRate(qint64 baud) {
    return QStringLiteral("通信速度 %1").arg(baud);
}

QString dataBits(int bits) {
    return QStringLiteral("データビット %1").arg(bits);
}

QString parity(Parity parity) {
    switch (parity) {
        case Parity::Even:
            return QStringLiteral("パリティ 偶数");
        case Parity::Odd:
            return QStringLiteral("パリティ 奇数");
        case Parity::Mark:
            return QStringLiteral("パリティ マーク");
        case Parity::Space:
            return QStringLiteral("パリティ スペース");
        case Parity::None:
            break;
    }
    return QStringLiteral("パリティ なし");
}

QString stopBits(int bits) {
    return QStringLiteral("ストップビット %1").arg(bits);
}

QString flowControl(bool rtsCts, bool xonXoff) {
    if (rtsCts && xonXoff) return QStringLiteral("フロー制御 RTS/CTS と Xon/Xoff");
    if (rtsCts) return QStringLiteral("フロー制御 RTS/CTS");
    if (xonXoff) return QStringLiteral("フロー制御 Xon/Xoff");
    return QStringLiteral("フロー制御 なし");
}

QString driverReports(const QString& value) {
    return QStringLiteral("ドライバーの値は %1 です").arg(value);
}

QString serverAnswers(const QString& value) {
    return QStringLiteral("サーバーの答えは %1 です").arg(value);
}

QString rateMustBePositive() {
    return QStringLiteral("通信速度は正の値でなければなりません");
}

QString driverIgnoresFlow(const QString& driver) {
    return QStringLiteral("ドライバ %1 はハードウェアフロー制御を行いません").arg(driver);
}

QString driverFastestRate(const QString& driver, qint32 fastest) {
    return QStringLiteral("ドライバ %1 の最高速度は %2 です").arg(driver).arg(fastest);
}

QString remoteFlowCannotCombine() {
    return QStringLiteral("リモートポートでは RTS/CTS と Xon/Xoff を同時には指定できません");
}

QString serverCode(const QString& setting, const QString& code) {
    return QStringLiteral("%1 コード %2").arg(setting, code);
}

}  // namespace SettingTexts

}  // namespace parvolo
