#pragma once

#include <string>

namespace parvolo::loopback {

// The COMn symlink in the port map directory, pointing at the plug's pty.
struct LinkResult {
    enum class Status { Ok, Refused, Failed };
    Status status = Status::Failed;
    std::string message;  // what was done, or why not
};

// Creates dir (with parents) and the link dir/name -> target. An existing entry is replaced only
// when it is a dangling link or a link into /dev/pts/ left by a plug, or with force; a directory
// is never replaced.
LinkResult installLink(const std::string& dir, const std::string& name, const std::string& target,
                       bool force);

// Removes linkPath only while it still points at target: a newer plug may have taken the name.
LinkResult removeLink(const std::string& linkPath, const std::string& target);

}  // namespace parvolo::loopback
