#include "WindowHarness.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QQmlComponent>
#include <QQuickItem>
#include <QRawFont>
#include <QTest>

// The real window on the real controller: what shows when, and what the controls do.
class WindowBehaviourTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void stoppedWindow();
    void runningShowsItsOwnButtonsAndRows();
    void shortcutsFollowTheButtons();
    void ngrokSwitchShowsTheTokenAndTheTunnelRow();
    void relayModeSwapsTheFields();
    void workspaceRowsAndBadges();
    void logShowsErrorsInRed();
    void linkTextIsMaskedWhileCopyAndQRCodeCarryTheWholeLink();
    void copyButtonSaysCopiedForAMoment();
    void readinessWarningShowsWhileSet();
    void unreadableSettingsFileIsToldUntilDismissed();
    void everySymbolHasAGlyphInTheBundledFont();

private:
    void startFake(const QString &script);
    int visibleCount(const QString &objectName) const
    {
        const QList<QQuickItem *> items = m_harness.all(objectName);
        return static_cast<int>(
            std::count_if(items.cbegin(), items.cend(), [](QQuickItem *i) { return i->isVisible(); }));
    }

    WindowHarness m_harness;
    QTemporaryDir m_folders;
};

void WindowBehaviourTest::initTestCase()
{
    m_harness.load();
}

void WindowBehaviourTest::init()
{
    m_harness.reset();
}

void WindowBehaviourTest::startFake(const QString &script)
{
    m_harness.useFakeAgent(script);
    m_harness.controller->start(&m_harness.preferences);
    QTRY_COMPARE(m_harness.controller->state(), AgentRunState::running());
}

void WindowBehaviourTest::stoppedWindow()
{
    QCOMPARE(m_harness.text("statusHeadline"), QStringLiteral("Not hosting"));
    QCOMPARE(m_harness.text("headerLabel"), QStringLiteral("Stopped"));
    QVERIFY(m_harness.shown("startButton"));
    QVERIFY(!m_harness.shown("stopButton"));
    QVERIFY(!m_harness.shown("agentBuild"));
    QCOMPARE(m_harness.text("disconnectedTitle"), QStringLiteral("Start hosting to generate a setup link."));
    QCOMPARE(m_harness.text("emptyLog"), QStringLiteral("No output yet."));
    QVERIFY(m_harness.shown("emptyLog"));
    QVERIFY(m_harness.shown("noFoldersText"));
    QVERIFY(!m_harness.find("checkAccessButton")->isEnabled());
    QVERIFY(!m_harness.shown("clearAllButton"));
    QVERIFY(!m_harness.shown("tunnelRow"));
    QVERIFY(!m_harness.shown("relaySessionRow"));
    QVERIFY(!m_harness.shown("readinessWarning"));
    QVERIFY(!m_harness.shown("settingsFileNotice"));
    QCOMPARE(m_harness.find("hostIdRow")->property("value").toString(), QStringLiteral("Created on start"));
    // A port is shown as a plain number, never with a thousands separator.
    QCOMPARE(m_harness.find("portStepper")->property("displayText").toString(), QStringLiteral("8765"));
}

void WindowBehaviourTest::runningShowsItsOwnButtonsAndRows()
{
    m_harness.preferences.setLanBindAll(false);
    startFake(QStringLiteral("out=up\\n;hang"));
    QCOMPARE(m_harness.text("statusHeadline"),
             QStringLiteral("Hosting on 127.0.0.1 (local-machine testing)"));
    QCOMPARE(m_harness.text("headerLabel"), QStringLiteral("Running"));
    QVERIFY(m_harness.shown("stopButton"));
    QVERIFY(m_harness.shown("restartButton"));
    QVERIFY(!m_harness.shown("startButton"));
    QCOMPARE(m_harness.text("agentBuild"), QStringLiteral("Agent 14"));
    QCOMPARE(
        m_harness.text("instructionText"),
        QStringLiteral(
            "Local-machine testing link. Turn on Listen on all interfaces to connect from a physical iPad."));
    QVERIFY(m_harness.find("hostIdRow")->property("value").toString().startsWith(QLatin1String("host_")));

    QMetaObject::invokeMethod(m_harness.find("restartButton"), "clicked");
    QCOMPARE(m_harness.controller->state(), AgentRunState::starting());
    QTRY_COMPARE(m_harness.controller->state(), AgentRunState::running());
}

void WindowBehaviourTest::shortcutsFollowTheButtons()
{
    m_harness.useFakeAgent(QStringLiteral("ignore-term;hang"));
    QTest::keyClick(m_harness.window(), Qt::Key_Escape); // nothing runs: Escape does nothing
    QCOMPARE(m_harness.controller->state(), AgentRunState::stopped());

    QTest::keyClick(m_harness.window(), Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(m_harness.controller->state(), AgentRunState::starting());
    QTRY_COMPARE(m_harness.controller->state(), AgentRunState::running());
    const qint64 pid = m_harness.controller->agentProcessId();
    QTest::keyClick(m_harness.window(), Qt::Key_Return, Qt::ControlModifier); // "Start hosting" is not shown
    QCOMPARE(m_harness.controller->agentProcessId(), pid);

    // An agent that ignores SIGTERM does not freeze the window: the stop shows until the kill ends it.
    QTest::keyClick(m_harness.window(), Qt::Key_Escape);
    QCOMPARE(m_harness.controller->agentProcessId(), 0);
    QCOMPARE(m_harness.controller->state(), AgentRunState::stopping());
    QTRY_COMPARE(m_harness.controller->state(), AgentRunState::stopped());

    // An agent that keeps exiting is restarted: Stop is there, and Escape ends the loop.
    m_harness.preferences.setKeepRelayOnline(true);
    m_harness.useFakeAgent(QStringLiteral("exit=1"));
    QTest::keyClick(m_harness.window(), Qt::Key_Return, Qt::ControlModifier);
    QTRY_VERIFY(m_harness.controller->state().isFailed() && m_harness.controller->restartPending());
    QVERIFY(m_harness.shown("stopButton"));
    QTest::keyClick(m_harness.window(), Qt::Key_Escape);
    QVERIFY(!m_harness.controller->restartPending());
    QVERIFY(!m_harness.shown("stopButton"));
    m_harness.preferences.setKeepRelayOnline(false);
}

void WindowBehaviourTest::ngrokSwitchShowsTheTokenAndTheTunnelRow()
{
    QVERIFY(!m_harness.shown("ngrokTokenField"));
    QVERIFY(m_harness.find("bindAllSwitch")->isEnabled());
    m_harness.preferences.setNgrokTunnelEnabled(true);
    QVERIFY(m_harness.shown("ngrokTokenField"));
    QVERIFY(!m_harness.find("bindAllSwitch")->isEnabled());
    QVERIFY(!m_harness.shown("tunnelRow")); // disabled until an agent runs

    m_harness.preferences.setLanPort(1); // nothing answers there: the tunnel stays on its way
    startFake(QStringLiteral("hang"));
    QTRY_VERIFY(m_harness.shown("tunnelRow"));
    QCOMPARE(m_harness.find("tunnelRow")->property("value").toString(), QStringLiteral("Starting"));
    QCOMPARE(m_harness.text("statusHeadline"), QStringLiteral("Starting ngrok tunnel..."));
    QCOMPARE(m_harness.text("disconnectedTitle"), QStringLiteral("Waiting for ngrok tunnel."));
    QCOMPARE(m_harness.text("disconnectedMessage"),
             QStringLiteral("The QR code appears after ngrok returns a public URL."));
}

void WindowBehaviourTest::relayModeSwapsTheFields()
{
    QVERIFY(!m_harness.shown("relayURLField"));
    QQuickItem *relay =
        m_harness.showing(QStringLiteral("Private Relay"), m_harness.find("modePicker")).value(0);
    QVERIFY(relay);
    QTest::mouseClick(m_harness.window(), Qt::LeftButton, {},
                      relay->mapToScene(relay->boundingRect().center()).toPoint());
    QCOMPARE(m_harness.preferences.mode(), HostingMode::relay);
    QVERIFY(m_harness.shown("relayURLField"));
    QVERIFY(!m_harness.shown("bindAllSwitch"));
    QVERIFY(m_harness.shown("relaySessionRow"));
    QVERIFY(!m_harness.shown("relayRestartNote")); // only while running

    startFake(QStringLiteral("hang"));
    QVERIFY(m_harness.shown("relayRestartNote"));
    QCOMPARE(m_harness.text("statusHeadline"), QStringLiteral("Hosting via relay"));
    QTRY_VERIFY(m_harness.shown("connectedContent"));
    QCOMPARE(m_harness.text("instructionText"),
             QStringLiteral("Scan with the iPad camera, or open this link on the iPad to connect."));

    // Typing a relay URL stores it without restarting; the field's Return does restart.
    const qint64 pid = m_harness.controller->agentProcessId();
    QQuickItem *field = m_harness.find("relayURLField");
    field->forceActiveFocus();
    QTest::keyClick(m_harness.window(), Qt::Key_End);
    QTest::keyClick(m_harness.window(), Qt::Key_X);
    QVERIFY(m_harness.preferences.relayURL().endsWith(QLatin1Char('x'), Qt::CaseInsensitive));
    QCOMPARE(m_harness.controller->agentProcessId(), pid);
    QTest::keyClick(m_harness.window(), Qt::Key_Return);
    QVERIFY(m_harness.controller->agentProcessId() != pid);
}

void WindowBehaviourTest::workspaceRowsAndBadges()
{
    QVERIFY(QDir(m_folders.path()).mkpath(QStringLiteral("ready")));
    const QString ready = m_folders.filePath(QStringLiteral("ready"));
    const QString missing = m_folders.filePath(QStringLiteral("missing"));
    m_harness.preferences.setWorkspaces({ready, missing});

    QTRY_COMPARE(m_harness.all(QStringLiteral("statusBadge")).size(), 2);
    const QList<QQuickItem *> badges = m_harness.all(QStringLiteral("statusBadge"));
    const QList<QQuickItem *> grants = m_harness.all(QStringLiteral("grantAccessButton"));
    QVERIFY(
        std::all_of(badges.cbegin(), badges.cend(), [](QQuickItem *badge) { return badge->isVisible(); }));
    QCOMPARE(visibleCount(QStringLiteral("grantAccessButton")), 1); // the missing folder offers no grant
    QVERIFY(m_harness.shown("preflightSummary"));
    QCOMPARE(m_harness.find("preflightSummary")->property("text").toString(),
             QStringLiteral("Pinned folders are ready for remote work."));
    QVERIFY(m_harness.shown("clearAllButton"));
    QVERIFY(m_harness.find("checkAccessButton")->isEnabled());

    // Granting the ready folder takes the button away.
    m_harness.chooser.answer = ready;
    for (QQuickItem *grant : grants) {
        if (grant->isVisible())
            QMetaObject::invokeMethod(grant, "clicked");
    }
    QTRY_COMPARE(visibleCount(QStringLiteral("grantAccessButton")), 0);

    QMetaObject::invokeMethod(m_harness.find("clearAllButton"), "clicked");
    QVERIFY(m_harness.preferences.workspaces().isEmpty());
    QVERIFY(m_harness.shown("noFoldersText"));
}

void WindowBehaviourTest::logShowsErrorsInRed()
{
    startFake(QStringLiteral("out=all good\\n;out=ERROR: disk full\\n;out=terrors of the deep\\n;hang"));
    QTRY_COMPARE(m_harness.controller->lastLogLines().size(), 3);
    QVERIFY(!m_harness.shown("emptyLog"));
    QList<QColor> colours;
    const auto texts = m_harness.all(QString(), m_harness.find("logBox"));
    for (QQuickItem *item : texts) {
        if (item->inherits("QQuickText") && item->isVisible())
            colours.append(item->property("color").value<QColor>());
    }
    QCOMPARE(colours.size(), 3);
    QVERIFY(colours.at(0) != colours.at(1));
    QCOMPARE(colours.at(1), colours.at(2)); // "error" inside a longer word counts too
}

void WindowBehaviourTest::linkTextIsMaskedWhileCopyAndQRCodeCarryTheWholeLink()
{
    m_harness.preferences.setMode(HostingMode::relay);
    startFake(QStringLiteral("hang"));
    QTRY_VERIFY(m_harness.shown("connectedContent"));
    const QString link = m_harness.controller->setupLink().toString(QUrl::FullyEncoded);
    const QString shown = m_harness.text("maskedLink");
    const HostCredentials credentials = m_harness.controller->credentialStore().cached().value();
    for (const QString &secret : {credentials.hostToken, credentials.relayToken, credentials.pairingNonce,
                                  credentials.hostId, credentials.relaySessionId}) {
        QVERIFY2(link.contains(secret), qPrintable(secret));
        QVERIFY2(!shown.contains(secret), qPrintable(secret));
    }
    QVERIFY(shown.startsWith(QLatin1String("ferrowyn://connect?mode=privateRelay")));
    QCOMPARE(m_harness.find("qrCode")->property("text").toString(), link);
    QVERIFY(m_harness.find("qrCode")->property("hasImage").toBool());

    QMetaObject::invokeMethod(m_harness.find("copyButton"), "clicked");
    QCOMPARE(QGuiApplication::clipboard()->text(), link);

    // Of all QML can reach, only that link carries the credentials; the controller is out of its reach.
    QQmlComponent component(&m_harness.engine());
    component.setData("import QtQml\nimport Ferrowyn.Core\n"
                      "QtObject { property var reachable: [typeof Controller, Preferences, Presenter] }",
                      QUrl());
    std::unique_ptr<QObject> probe(component.create());
    QVERIFY2(probe, qPrintable(component.errorString()));
    const QVariantList reachable = probe->property("reachable").toList();
    QCOMPARE(reachable.at(0).toString(), QStringLiteral("undefined"));
    for (const QVariant &object : reachable.mid(1)) {
        const QMetaObject *type = object.value<QObject *>()->metaObject();
        for (int i = 0; i < type->propertyCount(); ++i) {
            const QString value = type->property(i).read(object.value<QObject *>()).toString();
            for (const QString &secret :
                 {credentials.hostToken, credentials.relayToken, credentials.pairingNonce})
                QVERIFY2(value == link || !value.contains(secret), type->property(i).name());
        }
    }
}

void WindowBehaviourTest::copyButtonSaysCopiedForAMoment()
{
    startFake(QStringLiteral("hang"));
    QTRY_VERIFY(m_harness.shown("copyButton"));
    QObject *panel = m_harness.find<QObject>("setupLinkPanel");
    QCOMPARE(panel->property("copiedDuration").toInt(), 1500);
    // A press of an earlier test may still be showing its "Copied".
    QTRY_COMPARE(m_harness.text("copyButton"), QStringLiteral("Copy link"));
    panel->setProperty("copiedDuration", 300);
    QMetaObject::invokeMethod(m_harness.find("copyButton"), "clicked");
    QCOMPARE(m_harness.text("copyButton"), QStringLiteral("Copied"));
    QTRY_COMPARE(m_harness.text("copyButton"), QStringLiteral("Copy link"));

    // A second press while the first is pending: the first one's time still ends the "Copied".
    panel->setProperty("copiedDuration", 300);
    QElapsedTimer clock;
    clock.start();
    QMetaObject::invokeMethod(m_harness.find("copyButton"), "clicked");
    panel->setProperty("copiedDuration", 5000);
    QMetaObject::invokeMethod(m_harness.find("copyButton"), "clicked");
    QTRY_COMPARE_WITH_TIMEOUT(m_harness.text("copyButton"), QStringLiteral("Copy link"), 2000);
    QVERIFY(clock.elapsed() < 2000);
    panel->setProperty("copiedDuration", 1500);
}

void WindowBehaviourTest::readinessWarningShowsWhileSet()
{
    m_harness.controller->setReadinessWarning(QStringLiteral("Login item update failed: denied"));
    QVERIFY(m_harness.shown("readinessWarning"));
    QCOMPARE(m_harness.find("readinessWarning")->property("text").toString(),
             QStringLiteral("Login item update failed: denied"));
    m_harness.controller->setReadinessWarning({});
    QVERIFY(!m_harness.shown("readinessWarning"));
}

void WindowBehaviourTest::unreadableSettingsFileIsToldUntilDismissed()
{
    QFile file(m_folders.filePath(QStringLiteral("defaults.json")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("{\"truncated") > 0);
    file.close();
    const JsonFileUserDefaults damaged(file.fileName());
    m_harness.presenter->reportSettingsFile(damaged);
    QVERIFY(m_harness.shown("settingsFileNotice"));
    QCOMPARE(
        m_harness.text("settingsFileNotice"),
        QStringLiteral("Your settings file could not be read, so defaults are in use. The damaged file was "
                       "kept as ") +
            damaged.backupPath() + QLatin1Char('.'));
    QMetaObject::invokeMethod(m_harness.find("dismissSettingsFileNoticeButton"), "clicked");
    QVERIFY(!m_harness.shown("settingsFileNotice"));
}

void WindowBehaviourTest::everySymbolHasAGlyphInTheBundledFont()
{
    QQmlComponent component(&m_harness.engine());
    component.setData("import QtQml\nimport Ferrowyn.Theme\nQtObject { property var glyphs: Symbols.glyphs }",
                      QUrl());
    std::unique_ptr<QObject> probe(component.create());
    QVERIFY2(probe, qPrintable(component.errorString()));
    const QVariantMap glyphs = probe->property("glyphs").toMap();
    QVERIFY(glyphs.size() >= 20);

    QFile file(QStringLiteral(":/Ferrowyn/Theme/MaterialIcons-Regular.ttf"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QRawFont font(file.readAll(), 16);
    QVERIFY(font.isValid());
    for (auto it = glyphs.cbegin(); it != glyphs.cend(); ++it) {
        const QString glyph = it.value().toString();
        QCOMPARE(glyph.size(), 1);
        QVERIFY2(font.supportsCharacter(glyph.at(0)), qPrintable(it.key()));
    }
}

QTEST_MAIN(WindowBehaviourTest)
#include "tst_window_behaviour.moc"
