#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>

// What the user must know and act on, one warning per source, each standing until its own source says
// otherwise: a keyring that is locked or unavailable, a folder whose access was not granted, a login item
// that could not be written, settings that could not be saved, a secrets file that was refused or moved aside
// when it was loaded, secrets that could not be saved, a device that could not be taken out of the trusted
// devices, a file the agent could not write, tablets let in without encryption. A success of one source never
// clears another's warning. The window shows them as one text; the headless output and `--status` one by one.
class HostWarnings : public QObject {
    Q_OBJECT

public:
    enum class Source {
        keyring,
        folderAccess,
        loginItem,
        settingsSave,
        secretsFileLoad,
        secretsFileSave,
        trustedDevicesSave,
        agentStorage,
        unencryptedClients,
    };

    // While tablets that do not encrypt are let in (see HostPreferences::allowUnencryptedClients).
    inline static const QString unencryptedClientsAllowed =
        QStringLiteral("Unencrypted tablets are allowed: anyone on the network between them and this "
                       "computer can read their credentials and keystrokes.");

    using QObject::QObject;

    // Empty clears the source's warning.
    void report(Source source, const QString &warning);
    QString warning(Source source) const { return m_warnings.at(static_cast<std::size_t>(source)); }
    // Every warning, in the order of Source.
    QStringList warnings() const;
    // The same as one text, a line each; empty when there is nothing to warn about.
    QString text() const { return warnings().join(QLatin1Char('\n')); }

    // The words for settings that could not be saved, from the writer's reason.
    static QString settingsNotSaved(const QString &reason);
    // The words for pairing secrets that could not be saved to the secrets file.
    static QString secretsNotSaved(const QString &reason);

signals:
    void changed();

private:
    std::array<QString, static_cast<std::size_t>(Source::unencryptedClients) + 1> m_warnings;
};
