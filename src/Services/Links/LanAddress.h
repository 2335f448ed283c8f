#pragma once

#include "Platform/NetworkInterfaces.h"

#include <QString>

#include <optional>

// 10/8, 192.168/16 and 172.16/12, judged on the dotted text.
bool isPrivateIPv4(const QString &address);

// The first private IPv4 address of an up, non-loopback interface in system order; failing that the first
// other usable IPv4 address. Link-local addresses (169.254/16) never count.
std::optional<QString> bestLANAddress(const std::optional<QList<NetworkInterfaceAddress>> &addresses);
