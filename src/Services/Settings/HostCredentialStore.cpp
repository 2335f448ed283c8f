#include "Services/Settings/HostCredentialStore.h"

#include "Platform/UserDefaults.h"
#include "Shared/AgentStaticKey.h"
#include "Shared/NotifyingSetter.h"
#include "Shared/Utf8.h"

#include <QUuid>

#include <sys/random.h>

#include <cerrno>
#include <memory>

HostCredentialStore::HostCredentialStore(UserDefaults &defaults, Keyring &keyring, QObject *parent)
    : QObject(parent), m_defaults(defaults), m_keyring(keyring)
{}

void HostCredentialStore::request(HostRelayVersion relayVersion, QObject *context, Ready ready)
{
    m_relayVersion = relayVersion;
    m_waiters.append({context, std::move(ready)});
    if (!m_loaded) {
        if (!m_loading)
            startLoad();
        return;
    }
    if (m_loaded->relayVersion != relayVersion) {
        m_loaded->relayVersion = relayVersion;
        if (!m_inMemoryOnly)
            persist(*m_loaded, {metadataAccount});
    }
    scheduleAnswers();
}

HostCredentials HostCredentialStore::rotate(HostRelayVersion relayVersion)
{
    // Whatever a load still in progress finds is older than this, and is dropped.
    ++m_loadNumber;
    m_loading = false;
    m_unlockAsked = false;
    setWaitingForUnlock(false);
    m_relayVersion = relayVersion;
    const HostCredentials credentials = make(relayVersion);
    m_loaded = credentials;
    m_inMemoryOnly = false;
    emit loaded();
    persist(credentials,
            {tokenAccount, relayTokenAccount, pairingNonceAccount, agentKeyAccount, metadataAccount});
    scheduleAnswers();
    return credentials;
}

std::optional<HostCredentials> HostCredentialStore::replacePairingNonce()
{
    if (!m_loaded)
        return std::nullopt;
    m_loaded->pairingNonce = make(m_loaded->relayVersion).pairingNonce;
    if (!m_inMemoryOnly)
        persist(*m_loaded, {pairingNonceAccount});
    return m_loaded;
}

void HostCredentialStore::startLoad()
{
    m_loading = true;
    const int number = ++m_loadNumber;
    auto answers = std::make_shared<Answers>();
    const QStringList accounts{tokenAccount, relayTokenAccount, pairingNonceAccount, agentKeyAccount,
                               metadataAccount};
    for (const QString &account : accounts) {
        m_keyring.read(
            service, account, this,
            [this, number, answers, account, count = accounts.size()](const Keyring::ReadResult &r) {
                if (number != m_loadNumber)
                    return;
                answers->insert(account, r);
                if (answers->size() == count)
                    readsAnswered(*answers);
            });
    }
}

void HostCredentialStore::readsAnswered(const Answers &answers)
{
    QString error;
    bool locked = false;
    for (const Keyring::ReadResult &answer : answers) {
        if (answer.status == Keyring::ReadResult::Status::Error && error.isEmpty())
            error = answer.error;
        locked = locked || answer.status == Keyring::ReadResult::Status::Locked;
    }
    if (error.isEmpty() && locked) {
        if (!m_unlockAsked) {
            // Once per load: a keyring still locked after the user's answer is not asked again and again.
            m_unlockAsked = true;
            setWaitingForUnlock(true);
            m_keyring.unlock(this, [this, number = m_loadNumber](const QString &unlockError) {
                if (number != m_loadNumber)
                    return;
                setWaitingForUnlock(false);
                if (unlockError.isEmpty()) {
                    startLoad();
                    return;
                }
                m_loading = false;
                m_unlockAsked = false;
                setKeyringError(unlockError);
                m_inMemoryOnly = true;
                // Nothing could be read: this session's pairing is a new one, in memory only.
                settle(make(m_relayVersion));
            });
            return;
        }
        error = Keyring::stayedLockedError;
    }
    m_loading = false;
    m_unlockAsked = false;
    QStringList missing;
    const HostCredentials credentials = assemble(answers, &missing);
    if (!error.isEmpty()) {
        // What could be read is used, regenerated parts included, but none of it replaces the stored record.
        setKeyringError(error);
        m_inMemoryOnly = true;
        settle(credentials);
        return;
    }
    m_inMemoryOnly = false;
    persist(credentials, missing);
    settle(credentials);
}

HostCredentials HostCredentialStore::assemble(const Answers &answers, QStringList *missingAccounts) const
{
    const auto text = [&answers](const QString &account) -> std::optional<QString> {
        const Keyring::ReadResult answer = answers.value(account);
        if (!answer.found())
            return std::nullopt;
        std::optional<QString> value = strictUtf8(answer.data);
        if (!value || value->isEmpty())
            return std::nullopt;
        return value;
    };
    // The settings' copy first; the keyring's when the settings file lost it.
    std::optional<HostCredentials> record;
    if (const std::optional<QByteArray> stored = m_defaults.data(metadataKey))
        record = HostCredentials::fromJson(*stored);
    const Keyring::ReadResult storedRecord = answers.value(metadataAccount);
    if (!record && storedRecord.found())
        record = HostCredentials::fromJson(storedRecord.data);

    const std::optional<QString> hostToken = text(tokenAccount);
    HostCredentials credentials;
    if (record && hostToken) {
        credentials = *record;
        credentials.hostToken = *hostToken;
    } else {
        // A record without its host token is a pairing no tablet can use any more: it starts over. A host
        // token without a record keeps its secrets; only the record is made anew.
        credentials = make(m_relayVersion);
        if (hostToken)
            credentials.hostToken = *hostToken;
        else
            missingAccounts->append(tokenAccount);
    }
    for (auto [account, field] : {std::pair{relayTokenAccount, &HostCredentials::relayToken},
                                  std::pair{pairingNonceAccount, &HostCredentials::pairingNonce}}) {
        if (const std::optional<QString> secret = text(account)) {
            credentials.*field = *secret;
        } else {
            if ((credentials.*field).isEmpty())
                credentials.*field = randomBase64URL(32);
            missingAccounts->append(account);
        }
    }
    // A key that does not decode is as good as none: the agent could not prove it.
    const std::optional<QString> agentKey = text(agentKeyAccount);
    if (agentKey && AgentStaticKey::decode(*agentKey)) {
        credentials.agentKey = *agentKey;
    } else {
        if (!AgentStaticKey::decode(credentials.agentKey))
            credentials.agentKey = newAgentKey();
        missingAccounts->append(agentKeyAccount);
    }
    credentials.relayVersion = m_relayVersion;
    if (!storedRecord.found() || storedRecord.data != metadataRecord(credentials))
        missingAccounts->append(metadataAccount);
    return credentials;
}

void HostCredentialStore::settle(const HostCredentials &credentials)
{
    m_loaded = credentials;
    emit loaded();
    answerWaiters();
}

void HostCredentialStore::persist(const HostCredentials &credentials, const QStringList &accounts)
{
    const QByteArray record = metadataRecord(credentials);
    if (m_defaults.data(metadataKey) != record)
        m_defaults.setData(metadataKey, record);
    if (accounts.isEmpty())
        return;
    const QHash<QString, QString> values{
        {tokenAccount, credentials.hostToken},           {relayTokenAccount, credentials.relayToken},
        {pairingNonceAccount, credentials.pairingNonce}, {agentKeyAccount, credentials.agentKey},
        {metadataAccount, QString::fromUtf8(record)},
    };
    // A batch that completes without a failure clears an earlier one: the keyring holds what is in use.
    auto outstanding = std::make_shared<qsizetype>(accounts.size());
    auto failure = std::make_shared<QString>();
    for (const QString &account : accounts) {
        m_keyring.write(values.value(account).toUtf8(), service, account, this,
                        [this, outstanding, failure](const QString &error) {
                            if (!error.isEmpty() && failure->isEmpty())
                                *failure = error;
                            if (--*outstanding == 0)
                                setKeyringError(*failure);
                        });
    }
}

void HostCredentialStore::scheduleAnswers()
{
    QMetaObject::invokeMethod(this, &HostCredentialStore::answerWaiters, Qt::QueuedConnection);
}

void HostCredentialStore::answerWaiters()
{
    if (!m_loaded)
        return;
    for (const auto &[context, ready] : std::exchange(m_waiters, {})) {
        if (context)
            ready(*m_loaded);
    }
}

void HostCredentialStore::setWaitingForUnlock(bool waiting)
{
    setAndNotify(this, &HostCredentialStore::waitingForUnlockChanged, m_waitingForUnlock, waiting);
}

void HostCredentialStore::setKeyringError(const QString &error)
{
    setAndNotify(this, &HostCredentialStore::keyringErrorChanged, m_lastKeyringError, error);
}

QByteArray HostCredentialStore::metadataRecord(const HostCredentials &credentials)
{
    HostCredentials metadata = credentials;
    metadata.hostToken.clear();
    metadata.relayToken.clear();
    metadata.pairingNonce.clear();
    metadata.agentKey.clear();
    return metadata.toJson();
}

HostCredentials HostCredentialStore::make(HostRelayVersion relayVersion, const QDateTime &now)
{
    HostCredentials credentials;
    credentials.hostId = QStringLiteral("host_") + randomBase64URL(16);
    credentials.hostToken = randomBase64URL(32);
    credentials.relayToken = randomBase64URL(32);
    credentials.relaySessionId = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    credentials.pairingNonce = randomBase64URL(32);
    credentials.agentKey = newAgentKey();
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

QString HostCredentialStore::newAgentKey()
{
    const std::optional<AgentStaticKey::KeyPair> pair = AgentStaticKey::generate();
    // As with getrandom: a crypto library that cannot start is no place to make secrets from.
    if (!pair)
        qFatal("the agent key could not be made: libsodium did not start");
    return AgentStaticKey::encode(pair->secretKey);
}
