#include "HeadlessHostRunner.h"
#include "SmallFullDisk.h"
#include "TestFiles.h"

#include "App/CommandLine/HostCommandLine.h"
#include "Services/Pairing/PairingSecretsPlace.h"
#include "Shared/AgentStaticKey.h"
#include "Shared/TrustedDevicesFile.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTest>
#include <QUrlQuery>

// The real host without a display: it pairs, rotates and quits on the command line's requests, keeps the
// pairing in a file when told to, says what stops it, and loses nothing on a full disk.
class HeadlessHostTest : public QObject, public HeadlessHostRunner {
    Q_OBJECT

private slots:
    void hostsPairsRotatesAndQuits();
    void secretsFileOthersCanReadIsRefused();
    void aPortInUseIsSaidOnce();
    void aFullDiskLosesNothing();
};

void HeadlessHostTest::hostsPairsRotatesAndQuits()
{
    // With no host, the command line says so before it asks anything, and a script that wants JSON gets it.
    QCOMPARE(ask({"--status", "--json"}),
             std::pair(HostCommandLine::notRunning, QString("{\"running\":false}\n")));
    QCOMPARE(ask({"--revoke", "py-tablet"}, "y\n"), std::pair(HostCommandLine::notRunning, QString()));

    QProcess host;
    startHost(host, {"--secrets-file", "--program", "run-only-coder", "--allow-shell"});
    QTRY_COMPARE_WITH_TIMEOUT(printedLinks(printed(host)).size(), 1, 20000);
    // What tablets may start, for this run: the agent is told.
    const QString given = ".* --session-program run-only-coder .*--allow-shell( |$)";
    QCOMPARE(QProcess::execute("pgrep", {"-f", "ferrowyn-agent --workspace " + workspace.path() + given}), 0);
    const QString link = printedLinks(printed(host)).constFirst();
    // The code carries the key the tablet pins, and its fingerprint is said beside it.
    const QString key = QUrlQuery(QUrl(link)).queryItemValue("agentKey");
    QVERIFY(printed(host).contains(
        "Key fingerprint: " + AgentStaticKey::fingerprint(AgentStaticKey::decode(key).value_or("")) + '\n'));
    QCOMPARE(ask({QStringLiteral("--link")}).second.trimmed(), link);
    // Into a pipe, the code and every line are plain text: no colour escapes.
    QVERIFY(!printed(host).contains(u'\x1b'));
    const QString linkCode = ask({"--link", "--qr"}).second;
    QVERIFY(!linkCode.contains(u'\x1b'));
    QCOMPARE(printedLinks(linkCode + "end\n"), QStringList{link});
    // The browser form is said too, masked. A pairing uses the codes shown: both links are said anew.
    const QString browserLine = "Browser link: http://127.0.0.1:" + port + "/#ticket=redacted&key=" + key;
    QCOMPARE(printed(host).count(browserLine), 1);
    QVERIFY(printed(host).contains("A tablet without the app cannot open the setup link"));
    QVERIFY(tabletPairs(link));
    QTRY_VERIFY(printed(host).count(browserLine) == 2 && printedLinks(printed(host)).size() == 2);
    const QString unused = printedLinks(printed(host)).constLast();
    QVERIFY(unused != link);
    const auto [statusExit, statusText] = ask({"--status", "--json"});
    QCOMPARE(statusExit, 0);
    QCOMPARE(status()["state"], "running");
    QCOMPARE(status()["endpoint"], "ws://127.0.0.1:" + port);
    QVERIFY(!token(link).isEmpty() && !statusText.contains(token(link)));

    const QFileInfo secrets(home.filePath(QStringLiteral(".local/state/ferrowyn-host/credentials.json")));
    QVERIFY(printed(host).contains("Pairing secrets: " + secrets.filePath() + '\n'));
    QCOMPARE(secrets.permissions() & 0x0777, QFileDevice::ReadUser | QFileDevice::WriteUser);
    QCOMPARE(QFileInfo(secrets.absolutePath()).permissions() & 0x0777,
             QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);

    // The paired tablet is listed, with its last connection, and can be revoked from the command line. The
    // hash of its secret shows nowhere.
    const QString json = ask({"--devices", "--json"}).second;
    const QString listed = json + ask({"--devices"}).second;
    const QJsonArray devices = QJsonDocument::fromJson(json.toUtf8())["devices"].toArray();
    const QString hash = TrustedDevicesFile(home.filePath(".ferrowyn/trusted-devices.json"))
                             .read(TrustedDevicesFile::SecretHashes::Included)
                             .devices.value(0)
                             .secretHash;
    QVERIFY(hash.startsWith("sha256:"));
    QVERIFY(!listed.contains(hash.mid(7)) && !printed(host).contains(hash.mid(7)) &&
            !listed.contains("sha256"));
    QCOMPARE(devices.size(), 1);
    QVERIFY(!devices[0]["lastSeenAt"].toString().isEmpty());
    // Only a listed tablet is revoked: an unknown one is not even asked about.
    QCOMPARE(ask({"--revoke", "nobody"}, "y\n"), std::pair(1, QString()));
    QCOMPARE(ask({"--revoke", "py-tablet", "--yes"}).first, 0);
    QTRY_VERIFY(ask({"--devices"}).second.contains("No tablet has paired yet."));
    QCOMPARE(ask({QStringLiteral("--rotate")}, "n\n").first, 1);
    // The host answers a request once it has done it: had the "n" sent it, the token would be new by now.
    QTRY_COMPARE_WITH_TIMEOUT(token(ask({"--link"}).second.trimmed()), token(link), 20000);
    QCOMPARE(ask({QStringLiteral("--rotate"), QStringLiteral("--yes")}).first, 0);
    // The revocation printed a link with a new nonce, the rotation one more; the code unused before is void.
    QTRY_COMPARE_WITH_TIMEOUT(printedLinks(printed(host)).size(), 4, 20000);
    const QString rotated = printedLinks(printed(host)).constLast();
    QVERIFY(rotated != unused);
    QVERIFY(!tabletPairs(unused));

    QVERIFY(quit(host));
    QCOMPARE(host.exitCode(), 0);
    // The agent's command line names the workspace; pgrep finds nothing (1) once it is gone.
    QCOMPARE(QProcess::execute(QStringLiteral("pgrep"), {QStringLiteral("-f"), workspace.path()}), 1);

    // The run's options were for that run only.
    const QByteArray settings = fileContents(home.filePath(".config/ferrowyn-host/defaults.json"));
    QVERIFY(!settings.isEmpty() && !settings.contains(port.toUtf8()) &&
            !settings.contains(workspace.path().toUtf8()) && !settings.contains("run-only-coder") &&
            !settings.contains("allowShell"));

    // The pairing survives a restart, and a run without the option never touches the file.
    const QDateTime written = QFileInfo(secrets.filePath()).lastModified();
    QProcess again;
    startHost(again, {});
    QTRY_COMPARE_WITH_TIMEOUT(printedLinks(printed(again)).size(), 1, 20000);
    const QString unsaved = printedLinks(printed(again)).constFirst();
    // No keyring here: the host says where the secrets are, what that means and how to keep them, in words
    // that agree.
    QVERIFY(printed(again).contains("Pairing secrets: " + PairingSecretsPlace::memoryOnly + '\n'));
    QVERIFY(printed(again).contains("Warning: " + PairingSecretsPlace::keyringUnavailableWarning + '\n'));
    QVERIFY(!printed(again).contains(PairingSecretsPlace::systemKeyring));
    QCOMPARE(status()["secrets"], PairingSecretsPlace::memoryOnly);
    QVERIFY(token(unsaved) != token(rotated));
    QCOMPARE(QFileInfo(secrets.filePath()).lastModified(), written);
    QVERIFY(quit(again));

    QProcess third;
    startHost(third, {QStringLiteral("--secrets-file"), QStringLiteral("--qr=none")});
    QTRY_VERIFY_WITH_TIMEOUT(!ask({QStringLiteral("--link")}).second.isEmpty(), 20000);
    QCOMPARE(token(ask({"--link"}).second.trimmed()), token(rotated));
    QVERIFY(printedLinks(printed(third)).isEmpty());
    QVERIFY(quit(third));
}

void HeadlessHostTest::secretsFileOthersCanReadIsRefused()
{
    // The pairing kept by the run before, now readable by everyone.
    const QString path = home.filePath(".local/state/ferrowyn-host/credentials.json");
    const QByteArray stored = fileContents(path);
    const QFile::Permissions loose =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    QVERIFY(!stored.isEmpty() && QFile::setPermissions(path, loose));
    QProcess host;
    startHost(host, {"--secrets-file", "--qr=none"});
    const QString refusal = "The secrets file " + path +
                            " is not used: its permissions (0644) let other users "
                            "read or change it. Run: chmod 600 " +
                            path;
    QTRY_VERIFY_WITH_TIMEOUT(printed(host).contains("Warning: " + refusal + '\n'), 20000);
    QVERIFY(warnings().contains(refusal));
    QVERIFY(quit(host));
    // Left exactly as it was: the user decides.
    QCOMPARE(fileContents(path), stored);
    QCOMPARE(QFile::permissions(path), loose | QFile::ReadUser | QFile::WriteUser);
}

// Another program holds the port: the host says so once, naming the port and what to do. Kept online, it
// tries again now and then; otherwise hosting could not start, and the run ends with status 1.
void HeadlessHostTest::aPortInUseIsSaidOnce()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost));
    const QString port = QString::number(taken.serverPort());
    const QString told = "The agent cannot listen on port " + port +
                         ": another program is probably using it. "
                         "Choose another port (Port under Connection, or --port with --headless).";
    for (const bool keepOnline : {true, false}) {
        QTemporaryDir otherHome;
        QVERIFY(QDir(otherHome.path()).mkpath(".config/ferrowyn-host"));
        QVERIFY(writeFile(otherHome.filePath(".config/ferrowyn-host/defaults.json"),
                          keepOnline ? "{}" : R"({"FerrowynHost.keepRelayOnline": false})"));
        QProcess host;
        outputs.remove(&host); // the last round's, at the same address
        host.setProcessEnvironment(environment(otherHome.path()));
        host.start(FERROWYN_HOST_PATH, {"--headless", "--loopback", "--port", port, "--qr=none"});
        if (keepOnline) {
            // The agent's own line each time it was tried, the host's words once.
            QTRY_VERIFY_WITH_TIMEOUT(printed(host).count("cannot listen on 127.0.0.1:" + port) >= 2, 20000);
            QCOMPARE(host.state(), QProcess::Running);
        }
        QVERIFY(keepOnline ? quit(host) : host.waitForFinished(20000));
        QCOMPARE(printed(host).count(told), 1);
        QCOMPARE(std::pair(host.exitStatus(), host.exitCode()),
                 std::pair(QProcess::NormalExit, keepOnline ? 0 : 1));
    }
}

void HeadlessHostTest::aFullDiskLosesNothing()
{
    SmallFullDisk disk;
    qInfo("full disk: %s", qPrintable(disk.kind()));
    const QStringList options{"--secrets-file", "--qr=none"};
    QProcess first;
    startHost(first, options, disk.path());
    QTRY_VERIFY_WITH_TIMEOUT(!ask({"--link"}).second.isEmpty(), 20000);
    QVERIFY(tabletPairs(ask({"--link"}).second.trimmed()));
    QVERIFY(quit(first));
    const QStringList files{".config/ferrowyn-host/defaults.json",
                            ".local/state/ferrowyn-host/credentials.json", ".ferrowyn/trusted-devices.json"};
    QList<QByteArray> saved;
    for (const QString &file : files)
        saved.append(fileContents(disk.filePath(file)));
    QVERIFY(!saved.contains(QByteArray()));
    const auto unchanged = [&](qsizetype count) {
        for (qsizetype i = 0; i < count; ++i) {
            const QString path = disk.filePath(files.at(i));
            if (fileContents(path) != saved.at(i) ||
                QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files | QDir::Hidden).size() !=
                    1 + (i == 2))
                return false;
        }
        return true;
    };

    const auto full = disk.full();
    QProcess second;
    if (!disk.mounted())
        second.setChildProcessModifier(&SmallFullDisk::limitFileSizeInChild);
    startHost(second, options, disk.path());
    QTRY_VERIFY_WITH_TIMEOUT(!ask({"--link"}).second.isEmpty(), 20000);
    // A revoke the agent cannot write, nor the host after it, says so; so do the secrets it could not save.
    QCOMPARE(ask({"--revoke", "py-tablet", "--yes"}).first, 0);
    QTRY_VERIFY_WITH_TIMEOUT(
        warnings().contains("The device could not be revoked: cannot write " + disk.filePath(files.at(2))),
        10000);
    QVERIFY(
        warnings().contains("Pairing secrets were not saved (cannot write " + disk.filePath(files.at(1))));
    QVERIFY(unchanged(3));
    // A rotation revokes every tablet (it deletes their file); the settings it could not save are told.
    QCOMPARE(ask({"--rotate", "--yes"}).first, 0);
    QTRY_VERIFY_WITH_TIMEOUT(
        warnings().contains("Settings were not saved (cannot write " + disk.filePath(files.at(0))), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(printed(second).contains("Warning: Settings were not saved"), 10000);
    QVERIFY(!warnings().contains("could not be revoked"));
    // A tablet whose trust the agent cannot save is turned away, and the warning stands where the others do.
    // (The rotation's deleted file gave the disk some room back.)
    auto fullAgain = disk.full();
    QTRY_COMPARE_WITH_TIMEOUT(status()["state"], "running", 20000);
    QVERIFY(!tabletPairs(ask({"--link"}).second.trimmed()));
    QTRY_VERIFY_WITH_TIMEOUT(warnings().contains("The agent cannot save the trusted devices: a newly paired "
                                                 "device is not trusted (cannot write " +
                                                 disk.filePath(files.at(2))),
                             10000);
    QVERIFY(printed(second).contains("Warning: The agent cannot save the trusted devices"));
    // Once there is room, the next pairing is kept and the warning goes.
    if (disk.mounted()) {
        fullAgain.reset();
        QVERIFY(tabletPairs(ask({"--link"}).second.trimmed()));
        QTRY_VERIFY_WITH_TIMEOUT(!warnings().contains("The agent cannot save"), 10000);
    }
    QVERIFY(quit(second));
    QVERIFY(unchanged(2));
}

QTEST_GUILESS_MAIN(HeadlessHostTest)
#include "tst_headless_host.moc"
