#pragma once

#include <QString>

namespace AppBrand {
inline const QString hostName = QStringLiteral("Ferrowyn Host");
inline const QString agentExecutableName = QStringLiteral("ferrowyn-agent");
} // namespace AppBrand
