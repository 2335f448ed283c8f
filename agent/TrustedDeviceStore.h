#pragma once

#include <QDateTime>
#include <QString>

// The devices this host trusts, in ~/.ferrowyn/trusted-devices.json. The file is read afresh for every
// question, because the host revokes every device by deleting it while the agent may be running; a missing
// file therefore means that no device is trusted. So does one that cannot be read or parsed, which is first
// moved aside (".corrupt-<UTC time>") and logged, so that the next pairing cannot destroy it.
class TrustedDeviceStore {
public:
    explicit TrustedDeviceStore(QString filePath);
    static QString defaultPath();

    // A device counts as trusted only for the host id it was paired with.
    bool isTrusted(const QString &deviceId, const QString &hostId) const;
    // Adds or refreshes a device. Written atomically with owner-only permissions; false with a reason on
    // failure.
    bool add(const QString &deviceId, const QString &deviceName, const QString &hostId,
             const QDateTime &pairedAt, QString *error);

    QString filePath() const { return m_filePath; }

private:
    QString m_filePath;
};
