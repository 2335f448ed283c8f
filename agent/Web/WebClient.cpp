#include "Web/WebClient.h"

#include <QFile>
#include <QRegularExpression>

namespace {

const QString resourceRoot = QStringLiteral(":/web-client/");
const QString pagePath = QStringLiteral("index.html");

// Up to five plain segments ("app.js", "vendor/noble/curves/abstract/curve.js"), none starting with a dot:
// nothing that could climb out of the client's files.
const QRegularExpression
    clientPath(QStringLiteral("^/([A-Za-z0-9_-][A-Za-z0-9._-]*/){0,4}[A-Za-z0-9_-][A-Za-z0-9._-]*$"));

QString resourceFor(const QString &path)
{
    if (path == QLatin1String("/"))
        return resourceRoot + pagePath;
    if (!clientPath.match(path).hasMatch())
        return {};
    const QString resource = resourceRoot + path.mid(1);
    return QFile::exists(resource) ? resource : QString();
}

QByteArray contentTypeOf(const QString &resource)
{
    if (resource.endsWith(QLatin1String(".html")))
        return "text/html; charset=utf-8";
    if (resource.endsWith(QLatin1String(".js")) || resource.endsWith(QLatin1String(".mjs")))
        return "text/javascript; charset=utf-8";
    if (resource.endsWith(QLatin1String(".css")))
        return "text/css; charset=utf-8";
    if (resource.endsWith(QLatin1String(".svg")))
        return "image/svg+xml";
    return "text/plain; charset=utf-8";
}

WebClient::Response plain(int status, const QByteArray &text, WebClient::Headers headers = {})
{
    headers.append(std::pair<QByteArray, QByteArray>("Content-Type", "text/plain; charset=utf-8"));
    headers.append(std::pair<QByteArray, QByteArray>("Cache-Control", "no-store"));
    headers.append(std::pair<QByteArray, QByteArray>("X-Content-Type-Options", "nosniff"));
    return {status, headers, text};
}

} // namespace

bool WebClient::serves(const QString &path)
{
    return !resourceFor(path).isEmpty();
}

WebClient::Headers WebClient::securityHeaders(const BrowserOrigin::Authority &host)
{
    // 'self' covers the page's own WebSocket in current browsers; the explicit ws: and wss: sources are for
    // the Safari versions that read 'self' as http(s) only.
    const QByteArray authority =
        (host.host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host.host + QLatin1Char(']') : host.host)
            .toLatin1() +
        (host.port == -1 ? QByteArray() : ':' + QByteArray::number(host.port));
    return {
        {"Content-Security-Policy",
         "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; font-src 'self'; "
         "connect-src 'self' ws://" +
             authority + " wss://" + authority +
             "; object-src 'none'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
        {"X-Frame-Options", "DENY"},
        {"Cross-Origin-Opener-Policy", "same-origin"},
        {"Cross-Origin-Resource-Policy", "same-origin"},
        {"Permissions-Policy", "camera=(), microphone=(), geolocation=()"},
    };
}

WebClient::Response WebClient::answer(bool isGet, const QString &path, QByteArrayView host,
                                      const BrowserOrigin::OwnHosts &own)
{
    const QString resource = resourceFor(path);
    if (resource.isEmpty())
        return plain(404, "Not found.\n");
    if (!isGet)
        return plain(405, "Only GET.\n", {{"Allow", "GET"}});
    if (BrowserOrigin::checkPage(host, own) != BrowserOrigin::Verdict::allowed)
        return plain(421,
                     "This computer does not answer to that name; open the address its setup link gives.\n");
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly))
        return plain(500, "The client's files cannot be read.\n");
    Headers headers = securityHeaders(*BrowserOrigin::parseHost(host));
    headers.prepend(std::pair<QByteArray, QByteArray>("Content-Type", contentTypeOf(resource)));
    return {200, headers, file.readAll()};
}
