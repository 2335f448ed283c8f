// The host in a desktop session of its own (tests/with-keyring.sh): a fresh gnome-keyring through libsecret,
// a file manager that this test plays, and the real host application as a user runs it.
#include "Platform/FileManagerReveal.h"
#include "Platform/SecretServiceKeyring.h"
#include "TestFiles.h"

#include <QDBusConnection>
#include <QDesktopServices>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTest>

#include <csignal>

class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public slots:
    void ShowItems(const QStringList &uris, const QString &) { shown += uris; }

public:
    QStringList shown;
};

class UrlCatcher : public QObject {
    Q_OBJECT

public slots:
    void open(const QUrl &url) { urls += url; }

public:
    QList<QUrl> urls;
};

class DesktopSessionTest : public QObject {
    Q_OBJECT

    // The keyring answers on a later turn of the event loop; this waits for the answer.
    template <typename Answer, typename Call> Answer await(Call call, Answer none)
    {
        std::optional<Answer> answer;
        call([&answer](const Answer &value) { answer = value; });
        return QTest::qWaitFor([&answer] { return answer.has_value(); }, 10000) ? *answer : none;
    }
    Keyring::ReadResult read(const QString &account)
    {
        return await<Keyring::ReadResult>([&](auto done) { keyring.read(service, account, this, done); },
                                          {Keyring::ReadResult::Status::Error, {}, "no answer"});
    }

    const QString service = QStringLiteral("dev.ferrowyn.test");
    // Short limits: a headless keyring cannot show its unlock prompt, and the test must not wait two minutes.
    SecretServiceKeyring keyring{KeyringTimeLimits{std::chrono::seconds(5), std::chrono::seconds(2)}};

private slots:
    // It hosts at launch when asked, lets only one of itself run, and leaves no agent behind when told to
    // end.
    void hostRunsOnceAndStopsItsAgentOnSigterm()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const QJsonObject defaults{{"FerrowynHost.startHostingOnLaunch", true},
                                   {"FerrowynHost.lanPort", probe.serverPort()},
                                   {"FerrowynHost.lanBindAll", false}};
        probe.close();
        // The session's own home and configuration folders, which both launches inherit.
        const QString config = qEnvironmentVariable("XDG_CONFIG_HOME") + "/ferrowyn-host";
        QVERIFY(QDir().mkpath(config) &&
                writeFile(config + "/defaults.json", QJsonDocument(defaults).toJson()));
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QProcess host;
        host.start(FERROWYN_HOST_PATH, {});
        const auto agents = [&host] {
            QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(host.processId()));
            return children.open(QIODevice::ReadOnly)
                       ? QString(children.readAll()).split(' ', Qt::SkipEmptyParts)
                       : QStringList();
        };
        QTRY_VERIFY_WITH_TIMEOUT(agents().size() == 1, 10000);
        const QString agent = agents().constFirst();

        // A second launch hands over to the first and leaves: still one agent, the same one.
        QCOMPARE(QProcess::execute(FERROWYN_HOST_PATH, {}), 0);
        QCOMPARE(agents(), QStringList{agent});

        ::kill(static_cast<pid_t>(host.processId()), SIGTERM);
        QVERIFY(host.waitForFinished(10000));
        QVERIFY(host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0);
        // The host waited for its agent before it ended: the agent is gone, not orphaned.
        QVERIFY(!QFileInfo::exists("/proc/" + agent));
    }

    void keyringKeepsBytesAsTheyAreUntilRemoved()
    {
        // Bytes that are not UTF-8 come back as they went in.
        const QByteArray bytes("\xff\x00\xc3\x28tail", 8);
        QCOMPARE(
            await<QString>([&](auto done) { keyring.write(bytes, service, "plain", this, done); }, "none"),
            QString());
        QCOMPARE(read("plain").data, bytes);
        QCOMPARE(await<QString>([&](auto done) { keyring.remove(service, "plain", this, done); }, "none"),
                 QString());
        QCOMPARE(read("plain").status, Keyring::ReadResult::Status::NotFound);
    }

    void lockedKeyringCannotTellWhatItHolds()
    {
        QCOMPARE(QProcess::execute("gdbus", {"call", "--session", "--dest", "org.freedesktop.secrets",
                                             "--object-path", "/org/freedesktop/secrets", "--method",
                                             "org.freedesktop.Secret.Service.Lock",
                                             "['/org/freedesktop/secrets/collection/login']"}),
                 0);
        QCOMPARE(read("never-stored").status, Keyring::ReadResult::Status::Locked);
    }

    void revealAsksTheFileManager()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        FakeFileManager fileManager;
        UrlCatcher opened;
        QDesktopServices::setUrlHandler("file", &opened, "open");
        QVERIFY(bus.registerObject("/org/freedesktop/FileManager1", &fileManager,
                                   QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService("org.freedesktop.FileManager1"));
        FileManagerReveal::reveal("/home/me/My Project");
        QTRY_COMPARE(fileManager.shown, QStringList{"file:///home/me/My%20Project"});
        QVERIFY(bus.unregisterService("org.freedesktop.FileManager1"));

        // Without a file manager on the bus, the item's folder opens by its type's application (and only
        // then: the answers come in order, so an opening after the first request would come first).
        FileManagerReveal::reveal("/home/me/My Project/notes.txt");
        QTRY_COMPARE(opened.urls, QList<QUrl>{QUrl::fromLocalFile("/home/me/My Project")});
        QDesktopServices::unsetUrlHandler("file");
    }
};

QTEST_GUILESS_MAIN(DesktopSessionTest)
#include "tst_desktop_session.moc"
