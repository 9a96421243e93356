#pragma once

// The operating system's three communication calls on a port handle (PurgeComm, ClearCommError,
// SetCommTimeouts), as the window calls them on the serial control's CommID.

#include <QtGlobal>

namespace parvolo {

class MSComm;

// The three operating-system communication calls on the handle read from CommID. They act on
// the control that owns the handle and fail quietly (false) on any other value.
enum : quint32 { PURGE_TXABORT = 1, PURGE_RXABORT = 2, PURGE_TXCLEAR = 4, PURGE_RXCLEAR = 8 };

struct COMSTAT {
    quint32 flags = 0;
    quint32 cbInQue = 0;
    quint32 cbOutQue = 0;
};

struct COMMTIMEOUTS {
    quint32 ReadIntervalTimeout = 0;
    quint32 ReadTotalTimeoutMultiplier = 0;
    quint32 ReadTotalTimeoutConstant = 0;
    quint32 WriteTotalTimeoutMultiplier = 0;
    quint32 WriteTotalTimeoutConstant = 0;
};

bool PurgeComm(qint32 handle, quint32 flags);
bool ClearCommError(qint32 handle, quint32* errors, COMSTAT* status);
bool SetCommTimeouts(qint32 handle, const COMMTIMEOUTS* timeouts);

// Used by MSComm to make its handle known while the port is open.
void registerCommHandle(qint32 handle, MSComm* owner);
void unregisterCommHandle(qint32 handle);

}  // namespace parvolo
