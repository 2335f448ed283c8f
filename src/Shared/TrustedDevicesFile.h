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
    // The hash of the device's own secret ("sha256:" and 64 lower-case hex digits). Empty for a device paired
    // before devices had secrets, and whenever the file is read without hashes, as the host always reads it.
    QString secretHash{};
};

// The trusted-devices file (~/.ferrowyn/trusted-devices.json) that the agent writes and the host reads. Both
// take an advisory lock (flock) on "<file>.lock" beside it, shared to read and exclusive to change, so a host
// edit and an agent write never lose each other's devices. Writes are atomic and owner-only (file 0600 in a
// 0700 folder). Fields this version does not know are kept as they are.
//
// Versions only ever add optional fields, so every version reads every file: 1 as first written, 2 since
// entries may carry a secret hash. A rewrite never lowers the version it found.
class TrustedDevicesFile {
public:
    static constexpr int formatVersion = 2;

    // Unavailable: the file could not be opened for a want of the process's (no descriptor or memory left),
    // which says nothing about the file; unlike an unreadable one, it is not to be set aside.
    enum class Status { Read, Missing, Unreadable, Unavailable };
    // Only the agent, which checks the secrets, reads their hashes; nothing the host shows can carry one.
    enum class SecretHashes { Omitted, Included };
    struct Contents {
        Status status = Status::Missing;
        QList<TrustedDevice> devices;
    };

    explicit TrustedDevicesFile(QString path);

    QString path() const { return m_path; }
    QString lockPath() const { return m_path + QStringLiteral(".lock"); }

    Contents read(SecretHashes hashes = SecretHashes::Omitted) const;
    // Reads, lets `change` edit the devices, and writes them back if it returns true, all under the exclusive
    // lock. An unreadable file is never overwritten: false, with the reason in `error`. A change that returns
    // false writes nothing and counts as success. `change` sees the secret hashes; a rewrite keeps an entry's
    // hash unless the change sets another, so no writer can drop one by accident.
    bool update(const std::function<bool(QList<TrustedDevice> &devices)> &change, QString *error) const;

    // The route names as the file stores them.
    inline static const QString lanRoute = QStringLiteral("lan");
    inline static const QString tunnelRoute = QStringLiteral("tunnel");
    inline static const QString relayRoute = QStringLiteral("relay");

private:
    QString m_path;
};
