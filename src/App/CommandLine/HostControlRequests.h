#pragma once

#include <QJsonObject>
#include <QString>

#include <functional>

class HostAgentController;
class HostPreferences;
class HostPresenter;

// What the running host answers to the command line (`--status`, `--link`, `--start`, ...), from the same
// presenter the window shows. Only `link` answers with a secret: the unmasked setup link, which the user's
// own terminal asked for; the status shows it masked.
class HostControlRequests {
public:
    HostControlRequests(HostPreferences &preferences, HostAgentController &controller,
                        HostPresenter &presenter, std::function<void()> quit);

    QJsonObject answer(const QJsonObject &request);

    // Why a revocation is refused: no paired tablet has this id.
    static QString unknownDevice(const QString &deviceId);

private:
    QJsonObject status() const;
    QJsonObject devices() const;

    HostPreferences &m_preferences;
    HostAgentController &m_controller;
    HostPresenter &m_presenter;
    std::function<void()> m_quit;
};
