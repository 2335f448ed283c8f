#pragma once

#include <QJsonObject>
#include <QString>

// The error half of a reply: a stable machine-readable code, a human-readable message, and for some codes the
// facts a client acts on.
struct ServiceError {
    QString code;
    QString message;
    QJsonObject data = {};
};
