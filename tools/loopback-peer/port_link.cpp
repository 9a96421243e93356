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

LinkResult failure(LinkResult::Status status, std::string message) {
    return LinkResult{status, std::move(message)};
}

std::string osError(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

}  // namespace

LinkResult installLink(const std::string& dir, const std::string& name, const std::string& target,
                       bool force) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        return failure(LinkResult::Status::Failed,
                       "cannot create directory " + dir + ": " + ec.message());
    }
    const std::string linkPath = dir + "/" + name;

    std::string replaced;
    struct stat entry {};
    if (lstat(linkPath.c_str(), &entry) == 0) {
        if (S_ISDIR(entry.st_mode)) {
            return failure(LinkResult::Status::Refused,
                           linkPath + " is a directory; remove it or choose another --port");
        }
        if (S_ISLNK(entry.st_mode)) {
            const std::string current = readLinkTarget(linkPath);
            struct stat pointee {};
            const bool dangling = stat(linkPath.c_str(), &pointee) != 0 &&
                                  (errno == ENOENT || errno == ENOTDIR || errno == ELOOP);
            if (!dangling && !isPlugTarget(current) && !force) {
                return failure(LinkResult::Status::Refused,
                               linkPath + " already points to " + current +
                                   ", which is not a loopback plug; use --force to replace it");
            }
            replaced = " (replaced link to " + current + ")";
        } else if (!force) {
            return failure(LinkResult::Status::Refused,
                           linkPath + " exists and is not a symlink; use --force to replace it");
        } else {
            replaced = " (replaced a file)";
        }
    } else if (errno != ENOENT) {
        return failure(LinkResult::Status::Failed, osError("cannot inspect " + linkPath, errno));
    }

    // Link under a private name, then rename over COMn: the window never finds the name missing
    // or half made while a plug takes over from a previous one.
    const std::string temporary = dir + "/." + name + ".plug." + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0) {
        return failure(LinkResult::Status::Failed,
                       osError("cannot create symlink in " + dir, errno));
    }
    if (rename(temporary.c_str(), linkPath.c_str()) != 0) {
        const int error = errno;
        unlink(temporary.c_str());
        return failure(LinkResult::Status::Failed, osError("cannot create " + linkPath, error));
    }
    return LinkResult{LinkResult::Status::Ok, "linked " + linkPath + " -> " + target + replaced};
}

LinkResult removeLink(const std::string& linkPath, const std::string& target) {
    const std::string current = readLinkTarget(linkPath);
    if (current != target) {
        return failure(LinkResult::Status::Refused,
                       "left " + linkPath + " alone: it no longer points to " + target);
    }
    if (unlink(linkPath.c_str()) != 0) {
        return failure(LinkResult::Status::Failed, osError("cannot remove " + linkPath, errno));
    }
    return LinkResult{LinkResult::Status::Ok, "removed " + linkPath};
}

}  // namespace parvolo::loopback
