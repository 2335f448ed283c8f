#pragma once

#include "Shared/BuildConfig.h"

#include <QString>

namespace AppBrand {
// The reverse-DNS name of the desktop entry, the icon and the autostart entry.
inline const QString appId = QLatin1String(BuildConfig::appId);
inline const QString hostName = QStringLiteral("Ferrowyn Host");
inline const QString hostExecutableName = QStringLiteral("ferrowyn-host");
inline const QString agentExecutableName = QStringLiteral("ferrowyn-agent");
} // namespace AppBrand
