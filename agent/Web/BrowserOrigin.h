#pragma once

#include <QByteArrayView>
#include <QHostAddress>
#include <QList>
#include <QString>

#include <optional>

// Which requests from a browser the agent answers. A page may only be served, and a WebSocket only opened
// from a browser, under a name that really is this agent: a Host header naming anything else came through DNS
// that points a foreign name at this computer (DNS rebinding), and an Origin other than the Host's own is a
// page of another site in the same browser. Clients that are not browsers send no Origin and are not
// affected.
namespace BrowserOrigin {

// A Host header's parts: the host in lower case (an IPv6 address without its brackets) and the port, -1 when
// the header names none.
struct Authority {
    QString host;
    int port = -1;
};

// "name", "name:port", "[v6]" or "[v6]:port"; none for anything else (blanks, user info, a path, a bad port).
std::optional<Authority> parseHost(QByteArrayView header);

// The names this agent answers to.
struct OwnHosts {
    // The listening address, or every address of this computer when it listens on all of them.
    QList<QHostAddress> addresses;
    quint16 port = 0;
    // The tunnel's public host name (reached over https on its default port), or empty.
    QString publicHost;

    // `listening` as the agent was told; an "any" address stands for every address of this computer now.
    static OwnHosts forListening(const QHostAddress &listening, quint16 port, const QString &publicUrl);
    bool contains(const Authority &authority) const;
};

enum class Verdict { allowed, foreignHost, foreignOrigin };

// A request for the page: allowed when its Host is one of ours.
Verdict checkPage(QByteArrayView host, const OwnHosts &own);
// A WebSocket upgrade: without an Origin (not a browser) always allowed; with one, only when the Origin is
// the Host's own (same scheme's host and port) and the Host is one of ours. "null", malformed Origins and any
// that is not in the form browsers send (scheme, host and port only: no path, not even "/") are foreign.
Verdict checkUpgrade(QByteArrayView origin, QByteArrayView host, const OwnHosts &own);

} // namespace BrowserOrigin
