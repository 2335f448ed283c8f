#include "Platform/StatusNotifierWatcher.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

bool StatusNotifierWatcher::isPresent()
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface() &&
           bus.interface()->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher")).value();
}
