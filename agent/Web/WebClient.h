#pragma once

#include "Web/BrowserOrigin.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

// The browser client the agent serves on its own port: the page, its scripts and styles, and xterm.js, all
// built into the program (nothing is loaded from another host). Every answer carries the headers that keep
// the page to itself: a policy that runs only this origin's scripts and styles, no inline ones, no framing,
// no referrer, nothing kept in a cache.
namespace WebClient {

using Headers = QList<std::pair<QByteArray, QByteArray>>;

struct Response {
    int status = 404;
    Headers headers;
    QByteArray body;
};

// Whether `path` names one of the client's files ("/" is the page).
bool serves(const QString &path);

// The answer to a request for one of the client's files: 405 unless GET, 421 unless `host` is one of `own`.
Response answer(bool isGet, const QString &path, QByteArrayView host, const BrowserOrigin::OwnHosts &own);

// The headers of every answer for the page's origin. `host` is a Host header that passed the origin check.
Headers securityHeaders(const BrowserOrigin::Authority &host);

} // namespace WebClient
