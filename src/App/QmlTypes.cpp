#include "App/QmlTypes.h"

#include "App/HostWindowPresenter.h"
#include "App/QRCodeImage.h"
#include "Services/HostAgentController.h"
#include "Services/HostPreferences.h"

#include <QQmlEngine>

void registerQmlTypes(HostPreferences &preferences, HostAgentController &controller,
                      HostWindowPresenter &presenter)
{
    const char *uri = "Ferrowyn.Core";
    qmlRegisterSingletonInstance(uri, 1, 0, "Preferences", &preferences);
    qmlRegisterSingletonInstance(uri, 1, 0, "Controller", &controller);
    qmlRegisterSingletonInstance(uri, 1, 0, "Presenter", &presenter);
    qmlRegisterType<QRCodeImage>(uri, 1, 0, "QRCodeImage");
}
