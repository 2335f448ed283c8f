#pragma once

#include <QHash>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrlQuery>

#include <utility>

// The real host without a display, as the tests run it: its own home folder, a pinned folder and a free port,
// what it printed, and the command line's requests to it.
struct HeadlessHostRunner {
    HeadlessHostRunner();
    // The host's environment, in `homePath` when given.
    QProcessEnvironment environment(const QString &homePath = {}) const;
    // Runs the host with the arguments to its end; its exit status and standard output.
    std::pair<int, QString> ask(const QStringList &arguments, const QByteArray &input = {}) const;
    // Starts a headless host on the loopback port, serving the pinned folder.
    void startHost(QProcess &host, const QStringList &arguments, const QString &homePath = {}) const;
    // The links of every QR code the host printed so far, read with zbarimg.
    QStringList printedLinks(const QString &output) const;
    bool tabletPairs(const QString &link) const;
    // The host token a link carries.
    static QString token(const QString &link) { return QUrlQuery(QUrl(link)).queryItemValue("token"); }
    // Asks the running host to quit, and whether it did.
    bool quit(QProcess &host) const { return ask({"--quit"}).first == 0 && host.waitForFinished(10000); }
    // Everything the host printed so far.
    QString printed(QProcess &host);
    // What --status --json says, and its warnings, one per line.
    QJsonObject status() const;
    QString warnings() const;

    QTemporaryDir home;
    QTemporaryDir workspace;
    QString port;
    QHash<const QProcess *, QString> outputs;
};
