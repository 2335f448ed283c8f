#include "Platform/NetworkInterfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>

std::optional<QList<NetworkInterfaceAddress>> SystemNetworkInterfaces::addresses() const
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return std::nullopt;
    QList<NetworkInterfaceAddress> result;
    for (const ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        NetworkInterfaceAddress address;
        address.interfaceName = QString::fromLocal8Bit(entry->ifa_name);
        address.up = (entry->ifa_flags & IFF_UP) != 0;
        address.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        if (entry->ifa_addr) {
            const int family = entry->ifa_addr->sa_family;
            address.isIPv4 = family == AF_INET;
            if (family == AF_INET || family == AF_INET6) {
                const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
                std::array<char, NI_MAXHOST> host{};
                if (getnameinfo(entry->ifa_addr, length, host.data(), host.size(), nullptr, 0,
                                NI_NUMERICHOST) == 0)
                    address.numericHost = QString::fromUtf8(host.data());
            }
        }
        result.append(address);
    }
    freeifaddrs(list);
    return result;
}
