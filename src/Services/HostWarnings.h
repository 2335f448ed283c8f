#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>

// What is wrong with the files the host keeps, one warning per source, each standing until its source says
// otherwise: settings that could not be saved, a secrets file that was refused or moved aside when it was
// loaded, secrets that could not be saved, a device that could not be taken out of the trusted devices. Shown
// with the readiness warning, in the window, the headless output and `--status`.
class HostWarnings : public QObject {
    Q_OBJECT

public:
    enum class Source { settingsSave, secretsFileLoad, secretsFileSave, trustedDevicesSave };

    using QObject::QObject;

    // Empty clears the source's warning.
    void report(Source source, const QString &warning);
    // Every warning, in the order of Source.
    QStringList warnings() const;

    // The words for settings that could not be saved, from the writer's reason.
    static QString settingsNotSaved(const QString &reason);
    // The words for pairing secrets that could not be saved to the secrets file.
    static QString secretsNotSaved(const QString &reason);

signals:
    void changed();

private:
    std::array<QString, 4> m_warnings;
};
