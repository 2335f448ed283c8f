#include "Services/Pairing/PairingSecretsPlace.h"

#include "Services/HostWarnings.h"
#include "Services/Settings/HostCredentialStore.h"

PairingSecretsPlace::PairingSecretsPlace(const HostCredentialStore &store, HostWarnings &warnings,
                                         QString secretsFilePath, QObject *parent)
    : QObject(parent), m_store(store), m_warnings(warnings), m_secretsFilePath(std::move(secretsFilePath))
{
    for (auto signal : {&HostCredentialStore::loaded, &HostCredentialStore::keyringErrorChanged})
        connect(&store, signal, this, &PairingSecretsPlace::placeChanged);
    for (auto signal :
         {&HostCredentialStore::waitingForUnlockChanged, &HostCredentialStore::keyringErrorChanged})
        connect(&store, signal, this, &PairingSecretsPlace::reportKeyring);
    reportKeyring();
}

QString PairingSecretsPlace::place() const
{
    if (!m_store.cached())
        return {};
    if (!m_store.lastKeyringError().isEmpty())
        return memoryOnly;
    return m_secretsFilePath.isEmpty() ? systemKeyring : m_secretsFilePath;
}

void PairingSecretsPlace::reportKeyring()
{
    // A secrets file says what is wrong with it in warnings of its own.
    QString warning;
    if (m_store.waitingForUnlock())
        warning = waitingForKeyringWarning;
    else if (!m_store.lastKeyringError().isEmpty() && m_secretsFilePath.isEmpty())
        warning = keyringUnavailableWarning;
    m_warnings.report(HostWarnings::Source::keyring, warning);
}
