#include "Services/HostNgrokTokenStore.h"

#include "Platform/Keyring.h"
#include "Shared/Utf8.h"

HostNgrokTokenStore::HostNgrokTokenStore(Keyring &keyring, QString service, QString tokenAccount)
    : m_keyring(&keyring), m_service(std::move(service)), m_tokenAccount(std::move(tokenAccount))
{}

void HostNgrokTokenStore::save(const QString &token)
{
    const QString trimmed = token.trimmed();
    QString error;
    const bool done = trimmed.isEmpty()
                          ? m_keyring->remove(m_service, m_tokenAccount, &error)
                          : m_keyring->write(trimmed.toUtf8(), m_service, m_tokenAccount, &error);
    // The field keeps what was typed; the next launch shows what the keyring really holds.
    if (!done)
        qWarning("ngrok token not saved: %s", qPrintable(error));
}

QString HostNgrokTokenStore::load() const
{
    const Keyring::ReadResult result = m_keyring->read(m_service, m_tokenAccount);
    if (!result.found())
        return {};
    return strictUtf8(result.data).value_or(QString());
}
