#include "App/QmlTypes.h"

#include "App/HostWindowPresenter.h"
#include "App/QRCodeImage.h"
#include "Services/HostAgentController.h"
#include "Services/HostPreferences.h"

#include <QQmlEngine>

void registerQmlTypes()
{
    const char *uri = "Ferrowyn.Core";
    const QString ownedByTheApplication = QStringLiteral("created by the application");
    qmlRegisterUncreatableType<HostPreferences>(uri, 1, 0, "HostPreferences", ownedByTheApplication);
    qmlRegisterUncreatableType<HostAgentController>(uri, 1, 0, "HostAgentController", ownedByTheApplication);
    qmlRegisterUncreatableType<HostWindowPresenter>(uri, 1, 0, "HostWindowPresenter", ownedByTheApplication);
    qmlRegisterType<QRCodeImage>(uri, 1, 0, "QRCodeImage");
}
