#pragma once

#include <QString>

// The error half of a reply: a stable machine-readable code and a human-readable message.
struct ServiceError {
    QString code;
    QString message;
};
