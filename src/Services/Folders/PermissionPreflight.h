#pragma once

#include "Services/Sessions/CodingWork.h"

#include <QMetaType>
#include <QObject>
#include <QString>

#include <functional>

namespace Preflight {
Q_NAMESPACE

enum class HostPermissionPreflightStatus { ready, readOnly, blocked, missing, notDirectory };
Q_ENUM_NS(HostPermissionPreflightStatus)

} // namespace Preflight

using Preflight::HostPermissionPreflightStatus;

QString rawValue(HostPermissionPreflightStatus status);

// Whether remote work can happen in one pinned folder, and what to tell the user about it.
struct HostPermissionPreflightItem {
    Q_GADGET
    Q_PROPERTY(QString path MEMBER path)
    Q_PROPERTY(bool exists MEMBER exists)
    Q_PROPERTY(bool isDirectory MEMBER isDirectory)
    Q_PROPERTY(bool canRead MEMBER canRead)
    Q_PROPERTY(bool canWrite MEMBER canWrite)
    Q_PROPERTY(Preflight::HostPermissionPreflightStatus status MEMBER status)
    Q_PROPERTY(QString message MEMBER message)
    Q_PROPERTY(bool hasGrant MEMBER hasGrant)

public:
    QString path; // as pinned, not standardised
    bool exists = false;
    bool isDirectory = false;
    bool canRead = false;
    bool canWrite = false;
    HostPermissionPreflightStatus status = HostPermissionPreflightStatus::missing;
    QString message;
    bool hasGrant = false;

    bool operator==(const HostPermissionPreflightItem &) const = default;
};

namespace PermissionPreflight {

// Checks one folder as this process sees it. hasGrant is asked only for existing folders. A folder this
// process can read and write without a grant is told `readyMessage`: what remote work can do in it.
HostPermissionPreflightItem check(const QString &path, const std::function<bool(const QString &)> &hasGrant,
                                  const QString &readyMessage = CodingWork::codexReady);

// Writes an empty ".ferrowyn-preflight-<UUID>" file atomically into the folder and removes it again.
bool canWriteDirectory(const QString &path);

} // namespace PermissionPreflight
