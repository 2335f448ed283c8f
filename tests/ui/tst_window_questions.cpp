#include "SessionsList.h"
#include "WindowHarness.h"

#include <QTimeZone>

// The questions the real window asks, offscreen: where they open, what they name, and what a "no" keeps.
class WindowQuestionsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { m_h.load(); }
    void init() { m_h.reset(); }

    void questionsOpenCentredWhenAsked();
    void endingSessionsAsksFirst();

private:
    // A question of the window's; a tablet's row is a delegate, outside the window's object tree, so its
    // question is looked for there too.
    QObject *dialog(const char *name) const
    {
        QObject *found = m_h.window()->findChild<QObject *>(name);
        for (QQuickItem *row : m_h.named("deviceRow"))
            found = found ? found : row->findChild<QObject *>(name);
        return found;
    }
    bool open(const char *name) const { return dialog(name) && dialog(name)->property("visible").toBool(); }
    QString question(const char *name) const { return dialog(name)->property("question").toString(); }
    // Answers the question, which then closes.
    void answer(const char *name, bool yes) const
    {
        QMetaObject::invokeMethod(dialog(name), yes ? "accept" : "reject");
        QTRY_VERIFY(!open(name));
    }

    WindowHarness m_h;
};

// The window's questions are made only when asked; each still opens over the middle of the window.
void WindowQuestionsTest::questionsOpenCentredWhenAsked()
{
    const auto centred = [&](const char *name) {
        const QObject *shown = dialog(name);
        return shown && shown->property("visible").toBool() &&
               qAbs(shown->property("x").toReal() + shown->property("width").toReal() / 2 -
                    m_h.window()->width() / 2.0) < 2;
    };
    // Pin folder… opens the chooser, again at the second press.
    for (int press = 0; press < 2; ++press) {
        m_h.click(m_h.find("pinFolderButton"));
        QTRY_VERIFY(open("pinFolderDialog"));
        answer("pinFolderDialog", false);
    }
    m_h.click(m_h.find("ngrokInfoButton"));
    QTRY_VERIFY(centred("ngrokInfoDialog"));
    answer("ngrokInfoDialog", true);

    // Revoke names the tablet first; Cancel keeps it.
    m_h.run();
    const QDateTime paired(QDate(2026, 12, 1), QTime(9, 30), QTimeZone::utc());
    QVERIFY(m_h.trust({{"ipad-1", "Studio iPad", m_h.controller->hostId(), paired, std::nullopt, {}, {}}}));
    QTRY_COMPARE(m_h.named("deviceRow").size(), 1);
    m_h.click(m_h.named("revokeButton").constFirst());
    QTRY_VERIFY(centred("revokeConfirmation"));
    QCOMPARE(dialog("revokeConfirmation")->property("deviceName").toString(), "Studio iPad");
    answer("revokeConfirmation", false);
    QCOMPARE(m_h.presenter.devices()->devices().size(), 1);

    // Closed while hosting with no tray, the window asks; keeping hosting hides it and the agent goes on.
    m_h.window()->close();
    QTRY_VERIFY(centred("keepHostingDialog"));
    m_h.click(m_h.window()->findChild<QQuickItem *>("keepHostingButton"));
    QTRY_VERIFY(!m_h.window()->isVisible());
    QVERIFY(m_h.presenter.running());
    m_h.window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_h.window()));
}

// Two sessions as the agent lists them; no agent answers for them, so ending one falls back to their holders.
// End, Stop and Quit ask first, naming what ends.
void WindowQuestionsTest::endingSessionsAsksFirst()
{
    m_h.run();
    const QString runtime = m_h.controller->sessions().runtimeFolder();
    const QDateTime opened = QDateTime::currentDateTime();
    const QString first = QStringLiteral("00000000000000a1"), second = QStringLiteral("00000000000000b2");
    listSessions(runtime, {{first, "/home/ana/src/ferrowyn", "codex", "dev-1", "Studio iPad", opened, 1},
                           {second, "/home/ana/src/notes", "codex", "dev-2", "Safari on iPad", opened, 0}});
    QTRY_COMPARE(m_h.named("sessionRow").size(), 2);

    // Unpinning asks first when the sessions in the folder end with it (one pinned folder holds the other's;
    // "not" is only the start of a name); the agent started again without the folder ends them.
    m_h.presenter.pinFolders({"/home/ana/src", "/home/ana/src/notes", "/home/ana/src/not"});
    QTRY_COMPARE(m_h.named("removeButton").size(), 3);
    m_h.click(m_h.named("removeButton").at(2));
    QTRY_COMPARE(m_h.named("removeButton").size(), 2);
    m_h.click(m_h.named("removeButton").at(0));
    QTRY_VERIFY(open("unpinConfirmation"));
    QCOMPARE(question("unpinConfirmation"),
             "Unpinning ends 1 coding session, and the program running in it.");
    answer("unpinConfirmation", false);
    QCOMPARE(m_h.preferences.workspaces().size(), 2);
    m_h.click(m_h.find("clearAllButton"));
    QTRY_VERIFY(open("unpinConfirmation"));
    QVERIFY(question("unpinConfirmation").startsWith("Unpinning ends 2 coding sessions"));
    answer("unpinConfirmation", true);
    QTRY_VERIFY(m_h.preferences.workspaces().isEmpty());

    // End asks, names the session, and a "no" keeps it.
    m_h.click(m_h.named("endSessionButton").constFirst());
    QTRY_VERIFY(open("endSessionConfirmation"));
    QVERIFY(question("endSessionConfirmation").contains("/home/ana/src/ferrowyn"));
    answer("endSessionConfirmation", false);
    // Ending one without an agent takes a moment (its holder is asked): a "no" that ended it would show by
    // then.
    QVERIFY(!QTest::qWaitFor([&] { return !QFileInfo::exists(SessionFiles::sessionFolder(runtime, first)); },
                             500));
    m_h.click(m_h.named("endSessionButton").constFirst());
    QTRY_VERIFY(open("endSessionConfirmation"));
    answer("endSessionConfirmation", true);
    QTRY_COMPARE(m_h.named("sessionRow").size(), 1);
    QVERIFY(QFileInfo::exists(SessionFiles::sessionFolder(runtime, second)));

    // Stop says how many run and waits for the answer; a "no" keeps hosting and the session. From the tray,
    // with the window hidden, the window comes forward to ask.
    m_h.window()->hide();
    m_h.click(m_h.find("stopButton"));
    QTRY_VERIFY(open("endingConfirmation") && m_h.window()->isVisible());
    QCOMPARE(dialog("endingConfirmation")->property("title").toString(), "Stop hosting?");
    QVERIFY(question("endingConfirmation").startsWith("1 coding session is"));
    answer("endingConfirmation", false);
    // The stop would first ask the agent to end the sessions, which takes a moment.
    QVERIFY(!QTest::qWaitFor([this] { return !m_h.presenter.running(); }, 500));
    m_h.click(m_h.find("stopButton"));
    QTRY_VERIFY(open("endingConfirmation"));
    answer("endingConfirmation", true);
    QTRY_VERIFY(m_h.controller->state() == AgentRunState::stopped());
    QTRY_COMPARE(m_h.named("sessionRow").size(), 0);
    QVERIFY(m_h.shown("noSessionsText"));

    // With none running, Stop asks nothing.
    m_h.run();
    m_h.click(m_h.find("stopButton"));
    QTRY_VERIFY(m_h.controller->state() == AgentRunState::stopped());
    QVERIFY(!open("endingConfirmation"));

    // Programs typed with commas are kept trimmed and each once, and shown as kept.
    QQuickItem *programs = m_h.find("sessionProgramsField");
    programs->setProperty("text", " codex,aider , codex");
    QMetaObject::invokeMethod(programs, "editingFinished");
    QCOMPARE(m_h.preferences.sessionPrograms(), (QStringList{"codex", "aider"}));
    QTRY_COMPARE(programs->property("text").toString(), "codex, aider");
}
QTEST_MAIN(WindowQuestionsTest)
#include "tst_window_questions.moc"
