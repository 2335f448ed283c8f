#pragma once

#include <QObject>
#include <QString>

// Readiness of one pinned folder for remote work.
class HostPermissionPreflightItem {
    Q_GADGET
    Q_PROPERTY(QString path MEMBER path CONSTANT)
    Q_PROPERTY(bool exists MEMBER exists CONSTANT)
    Q_PROPERTY(bool isDirectory MEMBER isDirectory CONSTANT)
    Q_PROPERTY(bool canRead MEMBER canRead CONSTANT)
    Q_PROPERTY(bool canWrite MEMBER canWrite CONSTANT)
    Q_PROPERTY(Status status MEMBER status CONSTANT)
    Q_PROPERTY(QString message MEMBER message CONSTANT)
    Q_PROPERTY(bool hasGrant MEMBER hasGrant CONSTANT)

public:
    enum class Status { ready, readOnly, blocked, missing, notDirectory };
    Q_ENUM(Status)

    QString path;
    bool exists = false;
    bool isDirectory = false;
    bool canRead = false;
    bool canWrite = false;
    Status status = Status::missing;
    QString message;
    bool hasGrant = false;

    bool operator==(const HostPermissionPreflightItem &) const = default;
};
