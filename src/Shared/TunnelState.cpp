#include "Shared/TunnelState.h"

QString rawValue(TunnelState state)
{
    switch (state) {
    case TunnelState::disabled:
        return QStringLiteral("disabled");
    case TunnelState::starting:
        return QStringLiteral("starting");
    case TunnelState::online:
        return QStringLiteral("online");
    case TunnelState::failed:
        return QStringLiteral("failed");
    case TunnelState::unknown:
        return QStringLiteral("unknown");
    }
    return QStringLiteral("disabled");
}

std::optional<TunnelState> tunnelStateFromRaw(QStringView name)
{
    for (const TunnelState state :
         {TunnelState::disabled, TunnelState::starting, TunnelState::online, TunnelState::failed}) {
        if (name == rawValue(state))
            return state;
    }
    return std::nullopt;
}
