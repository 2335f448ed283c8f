#pragma once

#include <QString>

#include <optional>

class LoginItem;

namespace HostLoginItemManager {

// Registers or unregisters the application as a login item. None on success, otherwise the message to show.
std::optional<QString> setEnabled(bool enabled, LoginItem &loginItem);

} // namespace HostLoginItemManager
