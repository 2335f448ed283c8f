#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>

// A persistent grant for one folder: its standardised path, the bookmark naming it, and when it was taken.
struct HostPermissionGrant {
    QString path;
    QByteArray bookmark;
    QDateTime grantedAt;

    bool operator==(const HostPermissionGrant &) const = default;

    // "path", "bookmark" (Base64) and "grantedAt" (seconds since 2001-01-01T00:00:00Z).
    QJsonObject toJson() const;
    // None unless all three keys are there with the right types.
    static std::optional<HostPermissionGrant> fromJson(const QJsonObject &object);
};
