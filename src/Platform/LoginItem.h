#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// The system's record of applications opened at login.
class LoginItem {
public:
    virtual ~LoginItem() = default;
    // Each returns none on success, or the system's description of the failure.
    virtual std::optional<QString> registerApplication() = 0;
    virtual std::optional<QString> unregisterApplication() = 0;
};

// An XDG autostart entry (~/.config/autostart/<id>.desktop) that starts the given executable; the installed
// icon is named like the desktop entry.
class XdgAutostartLoginItem : public LoginItem {
public:
    XdgAutostartLoginItem(QString desktopId, QString applicationName, QString executablePath,
                          QString autostartFolder = standardAutostartFolder());

    static QString standardAutostartFolder();

    std::optional<QString> registerApplication() override;
    std::optional<QString> unregisterApplication() override;

    QString entryPath() const;
    // Options the entry passes after the executable, so the program knows it was started at login. Plain
    // words only ("--autostart"): they are written unquoted.
    void setArguments(const QStringList &arguments) { m_arguments = arguments; }

private:
    QString m_desktopId;
    QString m_applicationName;
    QString m_executablePath;
    QString m_autostartFolder;
    QStringList m_arguments;
};
