#pragma once

#include <functional>
#include <windows.h>

namespace thermavo {

// Returns once the driver has sent what it holds: FlushFileBuffers, which on a serial port waits
// for the transmit queue to empty. Wine's empties it by discarding the bytes (tcflush with
// TCOFLUSH), so under Wine it returns at once: a write Wine has completed is the Unix
// driver's to send, and it sends it before the port closes.
BOOL waitUntilSent(HANDLE device);

// The calls of the Windows serial device whose failures Microsoft documents but Wine never
// shows (a ClearCommError that fails, a cancelled request the driver never finishes, a flush
// that does not return), so that tests can stand in for them, and a look at every device opened.
struct WinSerialApi {
    std::function<BOOL(HANDLE, DWORD*, COMSTAT*)> clearCommError = ::ClearCommError;
    std::function<BOOL(HANDLE, OVERLAPPED*, DWORD*, DWORD, BOOL)> getOverlappedResultEx =
        ::GetOverlappedResultEx;
    std::function<BOOL(HANDLE)> flushFileBuffers = waitUntilSent;
    // Called on the port's thread with the device's handle once it is set up.
    std::function<void(HANDLE)> opened;
};

// Devices opened from now on make these calls.
void setWinSerialApi(WinSerialApi api);

// Requests given up at a close because the driver did not finish them once cancelled; their
// memory stays with the driver for good.
int abandonedSerialRequests();

} // namespace thermavo
