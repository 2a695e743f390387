#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// The locks the usual Linux serial tools share on a device. minicom, cu and the lockdev
// users write and honour a UUCP lock file in /var/lock, "LCK..<name>", holding the owner's
// PID right-aligned in ten columns and a newline; picocom takes an flock on the open device.
// InCycler honours both and takes both, so that whichever program comes second is refused.
namespace SerialLock {

// Who holds a device; pid 0 when that is not known.
struct THolder {
    qint64 pid = 0;
    QString name;        // from /proc/PID/comm, empty when unreadable
    bool hidden = false; // the sandbox hides who holds it (/proc/locks, or other PID spaces)
};

// "in use by process 4711 (minicom)", or "in use by another program" without a PID; a holder
// the sandbox hides (its /proc entry, or the lock table) is "another program (hidden from
// this service)".
QString InUseText(const THolder& holder);

// The lock file's name for a device, as minicom names it: the path below /dev with every
// "/" made "_" ("LCK..ttyUSB0", "LCK..pts_3"); the file name alone for a path elsewhere.
QString LockFileName(const QString& devicePath);
QString LockFilePath(const QString& devicePath);

// The PID a lock file holds, or 0 when it holds none that can be read. Text as the UUCP
// convention writes it (leading blanks, the digits, a newline; Qt's own lock files begin
// the same way) or the old binary form, one native int of four bytes.
qint64 ParseLockPid(const QByteArray& content);

// Whether a process with this PID exists (it may belong to another user).
bool ProcessAlive(qint64 pid);

// The process's name from /proc/PID/comm, made printable (its owner sets it freely), or an
// empty string.
QString ProcessName(qint64 pid);

// The effective user and groups (the effective one first, then the supplementary ones) of a
// running process, as /proc/PID/status tells; nothing when it cannot be read.
struct TCredentials {
    uint uid = 0;
    QList<uint> groups;
};
std::optional<TCredentials> ProcessCredentials(qint64 pid);

// Whether the user could open the device: root, the node's owner, or a member of its group,
// by the group database or, for process pid running as that user, by the groups it holds.
bool MayOpen(uint uid, const QString& devicePath, qint64 pid = 0);

// The live holder of the device's lock file, if any. A stale file (its process gone, or no
// PID readable in it and older than a few seconds) is removed on the way; a younger one
// that cannot be read yet is taken as held, since its writer may not have finished.
//
// Anyone may put a file in the lock directory, so the name is never trusted: it is opened
// without blocking and without following links, and only a regular file that was made by a
// user who could open the device counts. Anything else there (a FIFO, a link, a device, a
// stranger's file) is passed over as stale, removed where that is allowed, and said once
// on standard error.
std::optional<THolder> LiveLockFileHolder(const QString& devicePath);

// The process holding an flock on the open device, as /proc/locks tells (pid 0 when it
// cannot be found there).
THolder FlockHolder(const QString& devicePath);

// InCycler's own lock file while it holds a device. Removed by Release or the destructor,
// and only while it still holds this process's PID.
class TLockFile {
public:
    TLockFile() = default;
    ~TLockFile() { Release(); }
    TLockFile(const TLockFile&) = delete;
    TLockFile& operator=(const TLockFile&) = delete;

    // Writes the lock file. False, with *holder set, when another live holder's file is in
    // the way. True also when no file can be made (no /var/lock, not writable): the flock
    // still keeps the other tools off, and a missing lock directory is no fault of the port.
    bool Acquire(const QString& devicePath, THolder* holder);
    void Release();

private:
    QString m_path;
};

} // namespace SerialLock
