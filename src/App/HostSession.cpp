#include "App/HostSession.h"

#include "Platform/JsonFileUserDefaults.h"
#include "Platform/SecretsFileKeyring.h"
#include "Platform/SingleInstance.h"
#include "Shared/AppBrand.h"

#include <QCoreApplication>

#include <csignal>

HostSession::HostSession(UserDefaults &defaults, const UserDefaults &savedSettings, bool secretsFileAsked,
                         FolderChooser &folderChooser)
    : secrets(HostKeyringChoice::make(secretsFileAsked, savedSettings)),
      preferences(defaults, HostNgrokTokenStore(*secrets.keyring)),
      controller(defaults, *secrets.keyring, HostAgentController::standardLocator(), folderChooser),
      secretsPlace(controller.credentialStore(), controller.warnings(),
                   secrets.file ? secrets.file->path() : QString()),
      loginItem(AppBrand::appId, AppBrand::hostName, QCoreApplication::applicationFilePath()),
      application(preferences, controller, loginItem), presenter(preferences, controller),
      requests(preferences, controller, presenter, &HostPresenter::quit),
      signalWatcher({SIGTERM, SIGINT, SIGHUP})
{
    // The autostart entry says the program was started at login, so it may stay in the tray.
    loginItem.setArguments({QStringLiteral("--autostart")});
    QObject::connect(&signalWatcher, &UnixSignalWatcher::signalReceived, qApp, &HostPresenter::quit);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, &application, &HostApplication::terminate);
    presenter.showSecretsPlace(secretsPlace);
    controller.warnings().report(HostWarnings::Source::secretsFileLoad, secrets.warning);
    if (secrets.file) {
        secrets.file->setSaveReport([this](const QString &failure) {
            controller.warnings().report(HostWarnings::Source::secretsFileSave,
                                         HostWarnings::secretsNotSaved(failure));
        });
    }
}

HostSession::~HostSession()
{
    // The files may outlive the session; what they report must not reach it any more.
    if (m_settingsFile)
        m_settingsFile->setWriteReport({});
    if (secrets.file)
        secrets.file->setSaveReport({});
}

void HostSession::reportSettingsFile(JsonFileUserDefaults &saved)
{
    presenter.reportSettingsFile(saved);
    m_settingsFile = &saved;
    saved.setWriteReport([this](const QString &failure) {
        controller.warnings().report(HostWarnings::Source::settingsSave,
                                     HostWarnings::settingsNotSaved(failure));
    });
}

void HostSession::answerRequestsOn(SingleInstance &instance)
{
    instance.setRequestHandler([this](const QJsonObject &request) { return requests.answer(request); });
}
