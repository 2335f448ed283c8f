#include "Services/Settings/HostLoginItemManager.h"

#include "Platform/LoginItem.h"

std::optional<QString> HostLoginItemManager::setEnabled(bool enabled, LoginItem &loginItem)
{
    const std::optional<QString> failure =
        enabled ? loginItem.registerApplication() : loginItem.unregisterApplication();
    if (!failure)
        return std::nullopt;
    return QStringLiteral("Login item update failed: ") + *failure;
}
