#pragma once

#include "Platform/NetworkInterfaces.h"

// Lists the interfaces a test chooses, in the test's order; none stands for an enumeration that failed.
class ScriptedNetworkInterfaces : public NetworkInterfaces {
public:
    explicit ScriptedNetworkInterfaces(std::optional<QList<NetworkInterfaceAddress>> entries)
        : m_entries(std::move(entries))
    {}

    std::optional<QList<NetworkInterfaceAddress>> addresses() const override { return m_entries; }

    static NetworkInterfaceAddress ipv4(const QString &name, const QString &address, bool up = true,
                                        bool loopback = false)
    {
        return NetworkInterfaceAddress{name, up, loopback, true, address};
    }

private:
    std::optional<QList<NetworkInterfaceAddress>> m_entries;
};
