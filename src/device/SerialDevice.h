#pragma once

#include "SerialLock.h"

#include <QString>

#include <termios.h>

// The tty under the serial port object, opened for this program alone and put back as it
// was found. Plain POSIX on a non-blocking descriptor; the port object does the I/O.
//
// Each step answers with an empty string when it succeeded, otherwise with the reason for
// the operator ("no such device", "in use by process 4711 (minicom)").
class TSerialDevice {
public:
    TSerialDevice() = default;
    ~TSerialDevice() { Close(); }
    TSerialDevice(const TSerialDevice&) = delete;
    TSerialDevice& operator=(const TSerialDevice&) = delete;

    // Honours another program's lock file, opens the device without making it the
    // controlling terminal, then takes an exclusive flock, the lock file and TIOCEXCL, and
    // saves the line's settings.
    QString Open(const QString& devicePath);
    // Raw 8N1 at the baud; RTS/CTS handshake, or else RTS held at the level asked for.
    QString Configure(qint32 baud, bool handshake, bool rts);
    QString RaiseDtr();
    // Puts the saved settings back and gives up TIOCEXCL, the flock and the lock file.
    void Close();

    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
    termios m_saved{};
    SerialLock::TLockFile m_lockFile;
    QString m_staleLockFileOf; // the device whose lock file was last found stale
};
