#include "port/serial_errors.h"

#include <QFile>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "port/port_holders.h"

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

DeviceAccess deviceAccess(const QString& path) {
    DeviceAccess access;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return access;
    constexpr mode_t kReadWrite = S_IRGRP | S_IWGRP;
    // Open to everyone and still refused: something else (an ACL, a security module) said no.
    if ((st.st_mode & (S_IROTH | S_IWOTH)) == (S_IROTH | S_IWOTH)) return access;
    access.unknown = false;
    if ((st.st_mode & kReadWrite) != kReadWrite || st.st_gid == 0) return access;
    access.group = groupName(st.st_gid);
    access.joined = inGroups(st.st_gid, databaseGroups()) && !inGroups(st.st_gid, sessionGroups());
    return access;
}

namespace SerialErrors {

QString osReason(int err) {
    // strerror follows LC_MESSAGES, which QApplication sets; the reason stays the C library's
    // plain text whatever the locale.
    const char* text = ::strerrordesc_np(err);
    return text ? QString::fromLatin1(text) : QStringLiteral("error %1").arg(err);
}

AppError invalidPropertyValue() {
    return AppError(AppError::ErrInvalidPropertyValue, QStringLiteral("プロパティの値が無効です"));
}

AppError invalidPortNumber(int port) {
    return AppError(AppError::ErrInvalidPort,
                    QStringLiteral("ポート番号が不正です: COM%1").arg(port));
}

AppError alreadyOpen() {
    return AppError(AppError::ErrPortAlreadyOpen, QStringLiteral("ポートはすでに開いています"));
}

AppError notOpen() {
    return AppError(AppError::ErrPortNotOpen,
                    QStringLiteral("ポートが開いていないため、この操作はできません"));
}

AppError openFailed(const QString& path, int err) {
    switch (err) {
        case EACCES:
        case EPERM:
            return permissionDenied(path, err, deviceAccess(path));
        case EBUSY:
        case EWOULDBLOCK:  // from flock(LOCK_NB)
            return busy(path, PortHolder{});
        case ENOTTY:
            return AppError(
                AppError::ErrInvalidPort,
                QStringLiteral("%1 はシリアルポートではありません: %2").arg(path, osReason(err)));
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
        case EISDIR:
        case ELOOP:
        case ENAMETOOLONG:
        case EIO:  // a /dev/ttyS node without a UART behind it
            return AppError(AppError::ErrInvalidPort,
                            QStringLiteral("%1 を開けません: %2").arg(path, osReason(err)));
        default:
            return AppError(AppError::ErrHardwareUnavailable,
                            QStringLiteral("%1 を開けません: %2").arg(path, osReason(err)));
    }
}

QString permissionHint(const DeviceAccess& access) {
    if (access.unknown) return QString();
    if (access.group.isEmpty()) return QStringLiteral("このデバイスは root だけが開けます");
    if (access.joined)
        return QStringLiteral(
                   "グループ %1 には参加済みですが、このログインにはまだ反映されていません。"
                   "ログインし直してください")
            .arg(access.group);
    return QStringLiteral(
               "グループ %1 に参加して (sudo usermod -aG %1 $USER)、ログインし直してください")
        .arg(access.group);
}

AppError permissionDenied(const QString& path, int err, const DeviceAccess& access) {
    QString text = QStringLiteral("%1 を開く権限がありません: %2").arg(path, osReason(err));
    const QString hint = permissionHint(access);
    if (!hint.isEmpty()) text += QStringLiteral("。") + hint;
    return AppError(AppError::ErrHardwareUnavailable, text);
}

AppError busy(const QString& path, const PortHolder& holder) {
    QString who;
    if (holder.pid > 0 && !holder.program.isEmpty())
        who = QStringLiteral("%1 (PID %2) が使っています").arg(holder.program).arg(holder.pid);
    else if (holder.pid > 0)
        who = QStringLiteral("PID %1 のプログラムが使っています").arg(holder.pid);
    else
        who = QStringLiteral("他のプログラムが使っています");
    return AppError(AppError::ErrHardwareUnavailable,
                    QStringLiteral("%1 は使用中です: %2").arg(path, who));
}

AppError exclusiveLeftOver(const QString& path) {
    // Nothing tells a pty's user from its far end, so both causes are named.
    return AppError(AppError::ErrHardwareUnavailable,
                    QStringLiteral("%1 は排他モードになっています: 他のプログラムが使っているか、"
                                   "使っていたプログラムが閉じずに終了しました")
                        .arg(path));
}

AppError stillClosing(const QString& path) {
    return AppError(
        AppError::ErrHardwareUnavailable,
        QStringLiteral("%1 はまだ閉じている途中です (送信がフロー制御で止まっています)。"
                       "しばらくしてから開き直してください")
            .arg(path));
}

AppError settingRefused(const QString& path, const QString& what, const QString& problem) {
    return AppError(AppError::ErrCannotSetState,
                    QStringLiteral("%1 に %2 を設定できません: %3").arg(path, what, problem));
}

AppError lineRefused(const QString& path, const QString& line, bool on, int err) {
    return AppError(
        AppError::ErrCannotSetState,
        QStringLiteral("%1 の %2 を%3にできません: %4")
            .arg(path, line, on ? QStringLiteral("オン") : QStringLiteral("オフ"), osReason(err)));
}

QString allSettings(const LineSettings& s) {
    return QStringLiteral("通信設定 %1,%2,%3,%4")
        .arg(QString::number(s.baudRate), QString(QChar::fromLatin1(s.parity)),
             QString::number(s.dataBits), QString::number(s.stopBits));
}

QString baudRate(qint64 baud) {
    return QStringLiteral("通信速度 %1").arg(baud);
}

QString dataBits(int bits) {
    return QStringLiteral("データビット %1").arg(bits);
}

QString parity(char letter) {
    switch (letter) {
        case 'E':
            return QStringLiteral("パリティ 偶数");
        case 'O':
            return QStringLiteral("パリティ 奇数");
        case 'M':
            return QStringLiteral("パリティ マーク");
        case 'S':
            return QStringLiteral("パリティ スペース");
        default:
            return QStringLiteral("パリティ なし");
    }
}

QString stopBits(int bits) {
    return QStringLiteral("ストップビット %1").arg(bits);
}

QString handshaking(bool rtsCts, bool xonXoff) {
    if (rtsCts && xonXoff) return QStringLiteral("フロー制御 RTS/CTS と Xon/Xoff");
    if (rtsCts) return QStringLiteral("フロー制御 RTS/CTS");
    if (xonXoff) return QStringLiteral("フロー制御 Xon/Xoff");
    return QStringLiteral("フロー制御 なし");
}

QString driverReports(const QString& value) {
    return QStringLiteral("ドライバーの値は %1 です").arg(value);
}

QString rateMustBePositive() {
    return QStringLiteral("通信速度は正の値でなければなりません");
}

}  // namespace SerialErrors
