#pragma once

#include <QList>
#include <QString>

#include <optional>

// One address of one network interface, as the system lists them.
struct NetworkInterfaceAddress {
    QString interfaceName;
    bool up = false;
    bool loopback = false;
    bool isIPv4 = false;
    // The address as numeric text; none when the entry has no address or it could not be rendered.
    std::optional<QString> numericHost;
};

class NetworkInterfaces {
public:
    virtual ~NetworkInterfaces() = default;
    // In the order the system gives; none when the list cannot be obtained.
    virtual std::optional<QList<NetworkInterfaceAddress>> addresses() const = 0;
};

// getifaddrs and getnameinfo.
class SystemNetworkInterfaces : public NetworkInterfaces {
public:
    std::optional<QList<NetworkInterfaceAddress>> addresses() const override;
};
