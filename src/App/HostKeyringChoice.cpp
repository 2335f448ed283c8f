#include "App/HostKeyringChoice.h"

#include "Platform/SecretServiceKeyring.h"
#include "Platform/SecretsFileKeyring.h"
#include "Services/Settings/HostPreferences.h"

HostKeyringChoice HostKeyringChoice::make(bool secretsFileAsked, const UserDefaults &savedSettings)
{
    HostKeyringChoice choice;
    if (!secretsFileAsked && !HostPreferences::usesSecretsFile(savedSettings)) {
        choice.keyring = std::make_unique<SecretServiceKeyring>();
        return choice;
    }
    auto file = std::make_unique<SecretsFileKeyring>();
    if (!file->movedAsidePath().isEmpty())
        choice.warning =
            QStringLiteral("The secrets file could not be read and was moved to %1; tablets must "
                           "pair again.")
                .arg(file->movedAsidePath());
    else
        choice.warning = file->loadError();
    choice.file = file.get();
    choice.keyring = std::move(file);
    return choice;
}
