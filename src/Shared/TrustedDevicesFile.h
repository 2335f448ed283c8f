#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// One device the agent trusts, as the trusted-devices file records it.
struct TrustedDevice {
    QString deviceId;
    QString name;
    QString hostId;
    QDateTime pairedAt;
    std::optional<QDateTime> lastSeenAt; // absent in files written before it was recorded
    QString route; // "lan", "tunnel" or "relay" of the last connection; empty when unknown
};

// The trusted-devices file (~/.ferrowyn/trusted-devices.json) that the agent writes and the host reads. Both
// take an advisory lock (flock) on "<file>.lock" beside it, shared to read and exclusive to change, so a host
// edit and an agent write never lose each other's devices. Writes are atomic and owner-only (file 0600 in a
// 0700 folder). Fields this version does not know are kept as they are.
class TrustedDevicesFile {
public:
    enum class Status { Read, Missing, Unreadable };
    struct Contents {
        Status status = Status::Missing;
        QList<TrustedDevice> devices;
    };

    explicit TrustedDevicesFile(QString path);

    QString path() const { return m_path; }
    QString lockPath() const { return m_path + QStringLiteral(".lock"); }

    Contents read() const;
    // Reads, lets `change` edit the devices, and writes them back if it returns true, all under the exclusive
    // lock. An unreadable file is never overwritten: false, with the reason in `error`. A change that returns
    // false writes nothing and counts as success.
    bool update(const std::function<bool(QList<TrustedDevice> &devices)> &change, QString *error) const;

    // The route names as the file stores them.
    inline static const QString lanRoute = QStringLiteral("lan");
    inline static const QString tunnelRoute = QStringLiteral("tunnel");
    inline static const QString relayRoute = QStringLiteral("relay");

private:
    QString m_path;
};
