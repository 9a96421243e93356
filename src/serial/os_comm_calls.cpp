#include "serial/os_comm_calls.h"

#include <QHash>

#include "serial/mscomm.h"

namespace parvolo {

namespace {
QHash<qint32, MSComm*>& owners() {
    static QHash<qint32, MSComm*> table;
    return table;
}
MSComm* ownerOf(qint32 handle) {
    return handle < 0 ? nullptr : owners().value(handle, nullptr);
}
}  // namespace

void registerCommHandle(qint32 handle, MSComm* owner) {
    owners().insert(handle, owner);
}
void unregisterCommHandle(qint32 handle) {
    owners().remove(handle);
}

bool PurgeComm(qint32 handle, quint32 flags) {
    MSComm* comm = ownerOf(handle);
    if (!comm) return false;
    comm->purge(flags);
    return true;
}

bool ClearCommError(qint32 handle, quint32* errors, COMSTAT* status) {
    MSComm* comm = ownerOf(handle);
    if (!comm) return false;
    const quint32 flags = comm->takeErrorFlags();
    if (errors) *errors = flags;
    if (status) {
        status->cbInQue = quint32(comm->InBufferCount());
        status->cbOutQue = quint32(comm->OutBufferCount());
    }
    return true;
}

bool SetCommTimeouts(qint32 handle, const COMMTIMEOUTS* timeouts) {
    // Reads and writes never block here, so driver time-outs have nothing to bound; the call
    // is accepted for an open port so that callers can rely on its result.
    return timeouts != nullptr && ownerOf(handle) != nullptr;
}

}  // namespace parvolo
