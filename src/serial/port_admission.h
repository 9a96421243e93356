#pragma once

// Taking a port only when nobody else has it, before anything about the terminal changes, so
// that a program using the port keeps its settings. In order: a close of the same device still
// running, the kernel's console or a login on it, the UUCP lock file, then on the descriptor
// opened with O_NONBLOCK (which changes nothing on the line) the exclusive flag, flock(), and
// for a device that is not a pty every other process that has it open. A refusal names the
// holder, or what the port is used for, or the lock file in the way.

#include <QString>

#include "serial/port_holders.h"
#include "serial/port_use.h"

namespace parvolo {

struct AdmissionRules {
    QString lockDirectory;
    PortUseSources useSources;
    bool systemPortsAllowed = false;  // the console and login lines may be taken
};

// Opens the port non-blocking and makes it ours: `lock` holds its lock file (when one can be
// kept) and the descriptor has flock() and the exclusive flag. Throws SerialError.
int openAdmitted(const QString& path, const AdmissionRules& rules, PortLock& lock);

}  // namespace parvolo
