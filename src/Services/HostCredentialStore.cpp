#include "Services/HostCredentialStore.h"

#include "Platform/Keyring.h"
#include "Platform/UserDefaults.h"
#include "Shared/Utf8.h"

#include <QUuid>

#include <sys/random.h>

#include <cerrno>

HostCredentialStore::HostCredentialStore(UserDefaults &defaults, Keyring &keyring)
    : m_defaults(defaults), m_keyring(keyring)
{}

HostCredentials HostCredentialStore::current(HostRelayVersion relayVersion)
{
    if (std::optional<HostCredentials> credentials = load()) {
        if (credentials->relayVersion != relayVersion) {
            credentials->relayVersion = relayVersion;
            if (m_inMemoryOnly)
                m_loaded = credentials;
            else
                save(*credentials);
        }
        return *credentials;
    }
    HostCredentials credentials = make(relayVersion);
    if (m_lastKeyringError.isEmpty()) {
        save(credentials);
    } else {
        // The keyring could not be read, so the stored pairing may well be intact: keep it for when the
        // keyring is back, and host this session with credentials that live in memory only.
        m_loaded = credentials;
        m_inMemoryOnly = true;
    }
    return credentials;
}

std::optional<HostCredentials> HostCredentialStore::load()
{
    if (m_loaded)
        return m_loaded;
    m_lastKeyringError.clear();
    const std::optional<QByteArray> metadata = m_defaults.data(metadataKey);
    if (!metadata)
        return std::nullopt;
    std::optional<HostCredentials> credentials = HostCredentials::fromJson(*metadata);
    if (!credentials)
        return std::nullopt;

    const std::optional<QString> hostToken = readSecret(tokenAccount);
    if (!hostToken)
        return std::nullopt;
    credentials->hostToken = *hostToken;

    bool regenerated = false;
    for (auto [account, field] : {std::pair{relayTokenAccount, &HostCredentials::relayToken},
                                  std::pair{pairingNonceAccount, &HostCredentials::pairingNonce}}) {
        if (const std::optional<QString> secret = readSecret(account)) {
            (*credentials).*field = *secret;
        } else if (((*credentials).*field).isEmpty()) {
            (*credentials).*field = randomBase64URL(32);
            regenerated = true;
        }
    }
    // Regenerated secrets are saved at once, but never over a keyring that just failed to answer.
    if (regenerated && m_lastKeyringError.isEmpty())
        save(*credentials);
    m_loaded = credentials;
    return credentials;
}

std::optional<QString> HostCredentialStore::readSecret(const QString &account)
{
    const Keyring::ReadResult result = m_keyring.read(service, account);
    if (result.status == Keyring::ReadResult::Status::Error) {
        m_lastKeyringError = result.error;
        return std::nullopt;
    }
    if (!result.found())
        return std::nullopt;
    std::optional<QString> text = strictUtf8(result.data);
    if (!text || text->isEmpty())
        return std::nullopt;
    return text;
}

void HostCredentialStore::save(const HostCredentials &credentials)
{
    HostCredentials metadata = credentials;
    metadata.hostToken.clear();
    metadata.relayToken.clear();
    metadata.pairingNonce.clear();
    m_defaults.setData(metadataKey, metadata.toJson());

    m_lastKeyringError.clear();
    for (auto [account, secret] : {std::pair{tokenAccount, credentials.hostToken},
                                   std::pair{relayTokenAccount, credentials.relayToken},
                                   std::pair{pairingNonceAccount, credentials.pairingNonce}}) {
        // Keychain items are readable after the first unlock and never leave the device. The Secret Service
        // has no such class; the items live in the login collection, unlocked with the session.
        QString error;
        if (!m_keyring.write(secret.toUtf8(), service, account, &error))
            m_lastKeyringError = error;
    }
    m_loaded = credentials;
    m_inMemoryOnly = false;
}

HostCredentials HostCredentialStore::make(HostRelayVersion relayVersion, const QDateTime &now)
{
    HostCredentials credentials;
    credentials.hostId = QStringLiteral("host_") + randomBase64URL(16);
    credentials.hostToken = randomBase64URL(32);
    credentials.relayToken = randomBase64URL(32);
    credentials.relaySessionId = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    credentials.pairingNonce = randomBase64URL(32);
    credentials.relayVersion = relayVersion;
    credentials.createdAt = now;
    credentials.rotatedAt = now;
    return credentials;
}

QString HostCredentialStore::randomBase64URL(int byteCount)
{
    QByteArray bytes(byteCount, Qt::Uninitialized);
    qsizetype filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = getrandom(bytes.data() + filled, static_cast<size_t>(bytes.size() - filled), 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            // The kernel's generator is always there on the systems we support; a broken one is no place to
            // make secrets from.
            qFatal("getrandom failed: %s", strerror(errno));
        }
        filled += got;
    }
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}
