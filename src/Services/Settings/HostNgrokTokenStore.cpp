#include "Services/Settings/HostNgrokTokenStore.h"

#include "Platform/Keyring.h"
#include "Shared/Utf8.h"

HostNgrokTokenStore::HostNgrokTokenStore(Keyring &keyring, QString service, QString tokenAccount)
    : m_keyring(&keyring), m_service(std::move(service)), m_tokenAccount(std::move(tokenAccount))
{}

void HostNgrokTokenStore::save(const QString &token, QObject *context)
{
    // The field keeps what was typed; the next launch shows what the keyring really holds.
    const auto report = [](const QString &error) {
        if (!error.isEmpty())
            qWarning("ngrok token not saved: %s", qPrintable(error));
    };
    const QString trimmed = token.trimmed();
    if (trimmed.isEmpty())
        m_keyring->remove(m_service, m_tokenAccount, context, report);
    else
        m_keyring->write(trimmed.toUtf8(), m_service, m_tokenAccount, context, report);
}

void HostNgrokTokenStore::load(QObject *context, std::function<void(const QString &token)> loaded) const
{
    m_keyring->read(m_service, m_tokenAccount, context, [loaded](const Keyring::ReadResult &result) {
        loaded(result.found() ? strictUtf8(result.data).value_or(QString()) : QString());
    });
}
