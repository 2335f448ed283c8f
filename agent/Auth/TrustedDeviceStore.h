#pragma once

#include "Shared/TrustedDevicesFile.h"

#include <QDateTime>
#include <QHash>
#include <QString>

#include <optional>

// The devices this host trusts, in ~/.ferrowyn/trusted-devices.json. Every question looks at the file afresh,
// because the host changes it while the agent may be running (it deletes it to revoke every device); a
// missing file therefore means that no device is trusted. What was read is kept while the file's identity,
// size and times stay the same: every request of every tablet asks, and reading and parsing the file each
// time made a burst of requests stall the others. So does one that cannot be read or
// parsed, which the agent (never the host) first moves aside (".corrupt-<UTC time>") and logs, so that the
// next pairing cannot destroy it.
class TrustedDeviceStore {
public:
    // Each device's last connection is written at most this often.
    static constexpr qint64 seenWriteIntervalSecs = 60;

    explicit TrustedDeviceStore(QString filePath);
    static QString defaultPath();

    // The device as trusted for this host id, with its secret hash; a device counts as trusted only for the
    // host id it was paired with.
    std::optional<TrustedDevice> find(const QString &deviceId, const QString &hostId) const;
    bool isTrusted(const QString &deviceId, const QString &hostId) const
    {
        return find(deviceId, hostId) != std::nullopt;
    }
    // When the device paired last among those trusted for this host id; none when none is.
    std::optional<QDateTime> latestPairing(const QString &hostId) const;
    // Adds a device (replacing any entry of that id), seen now over `route`, trusted under the hash of its
    // secret. Written atomically with owner-only permissions; false with a reason on failure.
    bool add(const QString &deviceId, const QString &deviceName, const QString &hostId,
             const QDateTime &pairedAt, const QString &secretHash, QString *error,
             const QString &route = TrustedDevicesFile::lanRoute);
    // Gives a device paired before devices had secrets its secret hash, and records it as seen, in one write
    // under the lock; only while its entry still has none, so that exactly one attempt gets it. False when
    // another got there first or the entry went away, or, with the reason in `error`, when the file could not
    // be written.
    bool upgradeToSecret(const QString &deviceId, const QString &hostId, const QString &secretHash,
                         const QString &route, const QDateTime &now, QString *error);
    // Records when and over which route a trusted device connected, unless that was written for it less than
    // a minute before `now`. True when the file was written.
    bool recordSeen(const QString &deviceId, const QString &hostId, const QString &route,
                    const QDateTime &now);
    // Forgets a device; true when the file named it for that host.
    bool remove(const QString &deviceId, const QString &hostId, QString *error);

    QString filePath() const { return m_file.path(); }

private:
    TrustedDevicesFile::Contents contents() const;

    // Tells of a failed write, and of the first write that succeeds after one.
    void noteWrite(bool written, const QString &consequence, const QString *reason);

    // What identifies one version of the file: every writer replaces it by a rename (a new inode), and an
    // edit in place changes its size or times.
    struct Version {
        quint64 device = 0;
        quint64 inode = 0;
        qint64 size = -1;
        qint64 modifiedNs = 0;
        qint64 changedNs = 0;
        bool operator==(const Version &) const = default;
    };
    static std::optional<Version> versionOf(const QString &path);

    TrustedDevicesFile m_file;
    mutable std::optional<Version> m_readVersion;
    mutable TrustedDevicesFile::Contents m_read;
    QHash<QString, QDateTime> m_lastSeenWrites;
    bool m_writeFailing = false;
};
