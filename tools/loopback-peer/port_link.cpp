#include "port_link.h"

#include "peer_logic.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace parvolo::loopback {

namespace {

std::string readLinkTarget(const std::string& path) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(path, ec);
    return ec ? std::string() : target.string();
}

LinkResult failure(LinkResult::Status status, const QString& message) {
    return LinkResult{status, message.toStdString()};
}

// `what` has %1 for the path and %2 for the C library's reason; the caller keeps errno before
// anything else can change it.
QString osError(const QString& what, const std::string& path, int error) {
    return what.arg(asText(path), QString::fromLocal8Bit(std::strerror(error)));
}

}  // namespace

LinkResult installLink(const std::string& dir, const std::string& name, const std::string& target,
                       bool force) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        return failure(LinkResult::Status::Failed,
                       PlugTexts::tr("cannot create directory %1: %2")
                           .arg(asText(dir), QString::fromLocal8Bit(ec.message().c_str())));
    }
    const std::string linkPath = dir + "/" + name;

    // Told as one whole sentence each, so that a translation may order it as it needs.
    enum class Replaced { Nothing, Link, File } replaced = Replaced::Nothing;
    std::string replacedTarget;
    struct stat entry {};
    if (lstat(linkPath.c_str(), &entry) == 0) {
        if (S_ISDIR(entry.st_mode)) {
            return failure(LinkResult::Status::Refused,
                           PlugTexts::tr("%1 is a directory; remove it or choose another --port")
                               .arg(asText(linkPath)));
        }
        if (S_ISLNK(entry.st_mode)) {
            const std::string current = readLinkTarget(linkPath);
            struct stat pointee {};
            const bool dangling = stat(linkPath.c_str(), &pointee) != 0 &&
                                  (errno == ENOENT || errno == ENOTDIR || errno == ELOOP);
            if (!dangling && !isPlugTarget(current) && !force) {
                return failure(LinkResult::Status::Refused,
                               PlugTexts::tr("%1 already points to %2, which is not a loopback "
                                             "plug; use --force to replace it")
                                   .arg(asText(linkPath), asText(current)));
            }
            replaced = Replaced::Link;
            replacedTarget = current;
        } else if (!force) {
            return failure(
                LinkResult::Status::Refused,
                PlugTexts::tr("%1 exists and is not a symlink; use --force to replace it")
                    .arg(asText(linkPath)));
        } else {
            replaced = Replaced::File;
        }
    } else if (const int error = errno; error != ENOENT) {
        return failure(LinkResult::Status::Failed,
                       osError(PlugTexts::tr("cannot inspect %1: %2"), linkPath, error));
    }

    // Link under a private name, then rename over COMn: the window never finds the name missing
    // or half made while a plug takes over from a previous one.
    const std::string temporary = dir + "/." + name + ".plug." + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0) {
        const int error = errno;
        return failure(LinkResult::Status::Failed,
                       osError(PlugTexts::tr("cannot create symlink in %1: %2"), dir, error));
    }
    if (rename(temporary.c_str(), linkPath.c_str()) != 0) {
        const int error = errno;
        unlink(temporary.c_str());
        return failure(LinkResult::Status::Failed,
                       osError(PlugTexts::tr("cannot create %1: %2"), linkPath, error));
    }
    QString message;
    switch (replaced) {
        case Replaced::Nothing:
            message = PlugTexts::tr("linked %1 -> %2").arg(asText(linkPath), asText(target));
            break;
        case Replaced::Link:
            message = PlugTexts::tr("linked %1 -> %2 (replaced link to %3)")
                          .arg(asText(linkPath), asText(target), asText(replacedTarget));
            break;
        case Replaced::File:
            message = PlugTexts::tr("linked %1 -> %2 (replaced a file)")
                          .arg(asText(linkPath), asText(target));
            break;
    }
    return LinkResult{LinkResult::Status::Ok, message.toStdString()};
}

LinkResult removeLink(const std::string& linkPath, const std::string& target) {
    const std::string current = readLinkTarget(linkPath);
    if (current != target) {
        return failure(LinkResult::Status::Refused,
                       PlugTexts::tr("left %1 alone: it no longer points to %2")
                           .arg(asText(linkPath), asText(target)));
    }
    if (unlink(linkPath.c_str()) != 0) {
        const int error = errno;
        return failure(LinkResult::Status::Failed,
                       osError(PlugTexts::tr("cannot remove %1: %2"), linkPath, error));
    }
    return LinkResult{LinkResult::Status::Ok,
                      PlugTexts::tr("removed %1").arg(asText(linkPath)).toStdString()};
}

}  // namespace parvolo::loopback
