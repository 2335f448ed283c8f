// The window's coding sessions: the card as people see it with two sessions, in light and dark, and the
// questions before a session, hosting or the app ends them.
#include "Services/Sessions/SessionsWatcher.h"
#include "SessionsList.h"
#include "WindowHarness.h"

namespace {

const QString first = QStringLiteral("00000000000000a1");
const QString second = QStringLiteral("00000000000000b2");

// Two sessions as the agent lists them; no agent answers for them, so ending one falls back to their holders.
void listTwoSessions(const QString &runtime, const QDateTime &opened)
{
    listSessions(runtime,
                 {{first, "/home/ana/src/ferrowyn", "codex", "dev-" + first, "Studio iPad", opened, 1},
                  {second, "/home/ana/src/notes", "codex", "dev-" + second, "Safari on iPad", opened, 0}});
}

} // namespace

class SessionsWindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { m_h.load(); }
    void twoSessionsLightAndDark();
    void endingAsksFirst();

private:
    QObject *dialog(const char *name) const { return m_h.window()->findChild<QObject *>(name); }
    void answer(const char *name, bool yes) const
    {
        QMetaObject::invokeMethod(dialog(name), yes ? "accept" : "reject");
    }

    WindowHarness m_h;
};

void SessionsWindowTest::twoSessionsLightAndDark()
{
    m_h.start(QStringLiteral("hang"));
    QTRY_VERIFY(m_h.presenter.running());
    const QDateTime opened = QDateTime::currentDateTime().addSecs(-3600);
    listTwoSessions(m_h.controller->sessions().runtimeFolder(), opened);
    QTRY_COMPARE(m_h.named("sessionRow").size(), 2);
    QVERIFY(!m_h.shown("noSessionsText"));
    // Oldest first, each with its folder, program, tablet, time and attachment.
    const QList<QQuickItem *> rows = m_h.named("sessionRow");
    QCOMPARE(m_h.showing("/home/ana/src/notes", rows.constLast()).size(), 1);
    const QString since = CodingSessionsModel::sinceText(opened, QDateTime::currentDateTime());
    QCOMPARE(m_h.showing("codex · opened by Safari on iPad · " + since, rows.constLast()).size(), 1);
    QCOMPARE(m_h.showing("1 tablet attached · on this computer: ferrowyn-host --attach " + first,
                         rows.constFirst())
                 .size(),
             1);

    m_h.saveLightAndDark(SCREENSHOT_DIR "/sessions");
}

void SessionsWindowTest::endingAsksFirst()
{
    const QString runtime = m_h.controller->sessions().runtimeFolder();
    listTwoSessions(runtime, QDateTime::currentDateTime());
    QTRY_COMPARE(m_h.named("sessionRow").size(), 2);

    // End asks, names the session, and a "no" keeps it.
    m_h.click(m_h.named("endSessionButton").constFirst());
    QTRY_VERIFY(dialog("endSessionConfirmation")->property("visible").toBool());
    QVERIFY(
        dialog("endSessionConfirmation")->property("question").toString().contains("/home/ana/src/ferrowyn"));
    answer("endSessionConfirmation", false);
    QTRY_VERIFY(!dialog("endSessionConfirmation")->property("visible").toBool());
    // Ending one without an agent takes a moment (its holder is asked): a "no" that ended it would show by
    // then.
    QVERIFY(!QTest::qWaitFor([&] { return !QFileInfo::exists(SessionFiles::sessionFolder(runtime, first)); },
                             500));
    m_h.click(m_h.named("endSessionButton").constFirst());
    QTRY_VERIFY(dialog("endSessionConfirmation")->property("visible").toBool());
    answer("endSessionConfirmation", true);
    QTRY_COMPARE(m_h.named("sessionRow").size(), 1);
    QVERIFY(QFileInfo::exists(SessionFiles::sessionFolder(runtime, second)));

    // Stop says how many run and waits for the answer; a "no" keeps hosting and the session. From the tray,
    // with the window hidden, the window comes forward to ask.
    QVERIFY(m_h.presenter.running());
    m_h.window()->hide();
    QMetaObject::invokeMethod(m_h.find("stopButton"), "clicked");
    QTRY_VERIFY(dialog("endingConfirmation")->property("visible").toBool() && m_h.window()->isVisible());
    QCOMPARE(dialog("endingConfirmation")->property("title").toString(), "Stop hosting?");
    QVERIFY(dialog("endingConfirmation")->property("question").toString().startsWith("1 coding session is"));
    answer("endingConfirmation", false);
    QTRY_VERIFY(!dialog("endingConfirmation")->property("visible").toBool());
    // The stop would first ask the agent to end the sessions, which takes a moment.
    QVERIFY(!QTest::qWaitFor([this] { return !m_h.presenter.running(); }, 500));
    QMetaObject::invokeMethod(m_h.find("stopButton"), "clicked");
    QTRY_VERIFY(dialog("endingConfirmation")->property("visible").toBool());
    answer("endingConfirmation", true);
    QTRY_VERIFY(m_h.controller->state() == AgentRunState::stopped());
    QTRY_COMPARE(m_h.named("sessionRow").size(), 0);
    QVERIFY(m_h.shown("noSessionsText"));

    // With none running, Stop asks nothing.
    m_h.start(QStringLiteral("hang"));
    QTRY_VERIFY(m_h.presenter.running());
    QMetaObject::invokeMethod(m_h.find("stopButton"), "clicked");
    QTRY_VERIFY(m_h.controller->state() == AgentRunState::stopped());
    QVERIFY(!dialog("endingConfirmation")->property("visible").toBool());

    // Programs typed with commas are kept trimmed and each once, and shown as kept.
    QQuickItem *programs = m_h.find("sessionProgramsField");
    programs->setProperty("text", " codex,aider , codex");
    QMetaObject::invokeMethod(programs, "editingFinished");
    QCOMPARE(m_h.preferences.sessionPrograms(), (QStringList{"codex", "aider"}));
    QTRY_COMPARE(programs->property("text").toString(), "codex, aider");
}

QTEST_MAIN(SessionsWindowTest)
#include "tst_sessions_window.moc"
