#pragma once

#include <QHostAddress>

// A peer as the agent names and judges it: an IPv4 address that a dual-stack socket reports in its
// IPv6-mapped form ("::ffff:127.0.0.1") is taken as the IPv4 address it is.
inline QHostAddress plainPeerAddress(QHostAddress address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}
