#include "Shared/TrustedDevicesFile.h"

#include "Shared/AtomicFileWriter.h"
#include "Shared/PrivateFolder.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

const QString devicesKey = QStringLiteral("devices");
const QString deviceIdKey = QStringLiteral("deviceId");
const QString nameKey = QStringLiteral("name");
const QString hostIdKey = QStringLiteral("hostId");
const QString pairedAtKey = QStringLiteral("pairedAt");
const QString lastSeenAtKey = QStringLiteral("lastSeenAt");
const QString routeKey = QStringLiteral("route");
const QString secretHashKey = QStringLiteral("secretHash");
const QString versionKey = QStringLiteral("version");

// How long a reader (the host's window among them) and a writer wait for the lock.
constexpr int readLockWaitMs = 1000;
constexpr int writeLockWaitMs = 5000;

// Holds flock(2) on the lock file for as long as it lives; closing the descriptor releases it.
class FileLock {
public:
    FileLock(const QString &path, int operation, int waitMs)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (m_fd < 0)
            return;
        // A writer holds the lock for the few milliseconds of one write. One that stopped while holding it
        // must not freeze the host's window, so the wait is bounded: a reader then reads anyway, a writer
        // gives up and says so.
        const QDeadlineTimer deadline(waitMs);
        int result = 0;
        while ((result = ::flock(m_fd, operation | LOCK_NB)) != 0 &&
               (errno == EWOULDBLOCK || errno == EINTR) && !deadline.hasExpired())
            QThread::msleep(2);
        if (result != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~FileLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

QString timestamp(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}

// The file as parsed: its root object, kept whole so that what this version does not know survives a rewrite.
struct Parsed {
    TrustedDevicesFile::Status status = TrustedDevicesFile::Status::Missing;
    QJsonObject root;
    QList<TrustedDevice> devices;
};

Parsed parse(const QString &path)
{
    Parsed parsed;
    QFile file(path);
    if (!file.exists())
        return parsed;
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        parsed.status = errno == EMFILE || errno == ENFILE || errno == ENOMEM
                            ? TrustedDevicesFile::Status::Unavailable
                            : TrustedDevicesFile::Status::Unreadable;
        return parsed;
    }
    parsed.status = TrustedDevicesFile::Status::Unreadable;
    if (!file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        return parsed;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject() ||
        !document.object().value(devicesKey).isArray())
        return parsed;
    parsed.status = TrustedDevicesFile::Status::Read;
    parsed.root = document.object();
    for (const QJsonValue &value : parsed.root.value(devicesKey).toArray()) {
        const QJsonObject entry = value.toObject();
        TrustedDevice device{entry.value(deviceIdKey).toString(),
                             entry.value(nameKey).toString(),
                             entry.value(hostIdKey).toString(),
                             QDateTime::fromString(entry.value(pairedAtKey).toString(), Qt::ISODate),
                             std::nullopt,
                             entry.value(routeKey).toString(),
                             entry.value(secretHashKey).toString()};
        const QDateTime lastSeen = QDateTime::fromString(entry.value(lastSeenAtKey).toString(), Qt::ISODate);
        if (lastSeen.isValid())
            device.lastSeenAt = lastSeen;
        if (!device.deviceId.isEmpty())
            parsed.devices.append(device);
    }
    return parsed;
}

// The devices as entries: each starts from the entry it was read from, so unknown fields stay, and entries
// that name no device are kept as they were.
QJsonArray entries(const QJsonArray &original, const QList<TrustedDevice> &devices)
{
    QHash<QString, QJsonObject> byId;
    QJsonArray result;
    for (const QJsonValue &value : original) {
        const QString id = value.toObject().value(deviceIdKey).toString();
        if (id.isEmpty())
            result.append(value);
        else
            byId.insert(id, value.toObject());
    }
    for (const TrustedDevice &device : devices) {
        QJsonObject entry = byId.value(device.deviceId);
        entry.insert(deviceIdKey, device.deviceId);
        entry.insert(nameKey, device.name);
        entry.insert(hostIdKey, device.hostId);
        entry.insert(pairedAtKey, timestamp(device.pairedAt));
        if (device.lastSeenAt)
            entry.insert(lastSeenAtKey, timestamp(*device.lastSeenAt));
        else
            entry.remove(lastSeenAtKey);
        if (device.route.isEmpty())
            entry.remove(routeKey);
        else
            entry.insert(routeKey, device.route);
        if (!device.secretHash.isEmpty())
            entry.insert(secretHashKey, device.secretHash);
        result.append(entry);
    }
    return result;
}

} // namespace

TrustedDevicesFile::TrustedDevicesFile(QString path) : m_path(std::move(path)) {}

TrustedDevicesFile::Contents TrustedDevicesFile::read(SecretHashes hashes) const
{
    // Without its folder there is no file, and a reader creates nothing.
    if (!QFileInfo(QFileInfo(m_path).absolutePath()).isDir())
        return {};
    const FileLock lock(lockPath(), LOCK_SH, readLockWaitMs);
    Parsed parsed = parse(m_path);
    if (hashes == SecretHashes::Omitted) {
        for (TrustedDevice &device : parsed.devices)
            device.secretHash.clear();
    }
    // A lock that cannot be taken (a read-only folder) still lets the file be read.
    return {parsed.status, std::move(parsed.devices)};
}

bool TrustedDevicesFile::update(const std::function<bool(QList<TrustedDevice> &devices)> &change,
                                QString *error) const
{
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!makePrivateFolder(folder)) {
        *error = QStringLiteral("cannot create the folder of the trusted-devices file");
        return false;
    }
    // A folder an earlier version created readable by all is narrowed too.
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const FileLock lock(lockPath(), LOCK_EX, writeLockWaitMs);
    if (!lock.held()) {
        *error = QStringLiteral("cannot lock the trusted-devices file");
        return false;
    }
    Parsed parsed = parse(m_path);
    if (parsed.status == Status::Unreadable || parsed.status == Status::Unavailable) {
        *error = QStringLiteral("the trusted-devices file cannot be read; it is left as it is");
        return false;
    }
    if (!change(parsed.devices))
        return true;
    QJsonObject root = parsed.root;
    root.insert(versionKey, std::max(root.value(versionKey).toInt(), formatVersion));
    root.insert(devicesKey, entries(parsed.root.value(devicesKey).toArray(), parsed.devices));
    // Owner-only from the first byte; a write that fails leaves every device the file named in place.
    if (const std::optional<QString> failure =
            AtomicFileWriter::write(m_path, QJsonDocument(root).toJson(QJsonDocument::Indented))) {
        *error = *failure;
        return false;
    }
    return true;
}
