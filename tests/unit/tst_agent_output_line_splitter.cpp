#include "Services/AgentOutputLineSplitter.h"

#include <QTest>

namespace {

const QString replacement(QChar(0xFFFD));

// Feeds the pieces in order, then ends the stream.
QStringList splitAll(const QList<QByteArray> &pieces, qsizetype maxLineLength = 64 * 1024)
{
    AgentOutputLineSplitter splitter(maxLineLength);
    QStringList lines;
    for (const QByteArray &piece : pieces)
        splitter.feed(piece, lines);
    splitter.finish(lines);
    return lines;
}

} // namespace

class AgentOutputLineSplitterTest : public QObject {
    Q_OBJECT

private slots:
    void splits_data();
    void splits();
    void byteByByteEqualsOneRead();
    void holdsAnUnfinishedLineUntilItEnds();
    void decodesBrokenBytesAsReplacementCharacters_data();
    void decodesBrokenBytesAsReplacementCharacters();
    void resynchronizesAfterSkippedOutput();
};

void AgentOutputLineSplitterTest::splits_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QStringList>("expected");
    const int none = 64 * 1024;
    QTest::newRow("CR LF, LF and a blank line")
        << QList<QByteArray>{"one\r\ntwo\n\nthree"} << none << QStringList{"one", "two", "three"};
    QTest::newRow("no break at all") << QList<QByteArray>{"  just one  "} << none
                                     << QStringList{"  just one  "};
    QTest::newRow("only breaks") << QList<QByteArray>{"\n\r\n\r\x0b\x0c"} << none << QStringList{};
    QTest::newRow("VT, FF, NEL, LS, PS and lone CR")
        << QList<QByteArray>{"a\x0b"
                             "b\x0c"
                             "c\xc2\x85"
                             "d\xe2\x80\xa8"
                             "e\xe2\x80\xa9"
                             "f\rg\r"}
        << none << QStringList{"a", "b", "c", "d", "e", "f", "g"};
    QTest::newRow("tabs stay inside a line")
        << QList<QByteArray>{"\tindented\t\n"} << none << QStringList{"\tindented\t"};
    QTest::newRow("a secret cut in two")
        << QList<QByteArray>{"token=abc", "def\n"} << none << QStringList{"token=abcdef"};
    QTest::newRow("CR, then LF in the next read")
        << QList<QByteArray>{"one\r", "\ntwo\n"} << none << QStringList{"one", "two"};
    QTest::newRow("two-byte character cut")
        << QList<QByteArray>{"caf\xc3", "\xa9\n"} << none << QStringList{u"café"_qs};
    QTest::newRow("three-byte character cut after one byte")
        << QList<QByteArray>{"\xe2", "\x82\xac 5\n"} << none << QStringList{u"€ 5"_qs};
    QTest::newRow("four-byte character in three reads")
        << QList<QByteArray>{"x\xf0\x9f", "\x98", "\x80y\n"} << none << QStringList{u"x😀y"_qs};
    QTest::newRow("line separator cut") << QList<QByteArray>{"a\xe2\x80", "\xa8"
                                                                          "b"}
                                        << none << QStringList{"a", "b"};
    QTest::newRow("empty reads change nothing")
        << QList<QByteArray>{"", "a", "", "b\n", ""} << none << QStringList{"ab"};
    QTest::newRow("complete line longer than the limit")
        << QList<QByteArray>{"abcdefghij\n"} << 8 << QStringList{"abcdefgh", "ij"};
    QTest::newRow("unfinished line reaching the limit over reads")
        << QList<QByteArray>{"abcde", "fghij", "k"} << 8 << QStringList{"abcdefgh", "ijk"};
    QTest::newRow("exactly the limit, then its break")
        << QList<QByteArray>{"abcdefgh", "\nx"} << 8 << QStringList{"abcdefgh", "x"};
    QTest::newRow("never cut inside a surrogate pair")
        << QList<QByteArray>{"abcdefg\xf0\x9f\x98\x80xyz"} << 8 << QStringList{"abcdefg", u"😀xyz"_qs};
}

void AgentOutputLineSplitterTest::splits()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(int, limit);
    QTEST(splitAll(pieces, limit), "expected");
}

void AgentOutputLineSplitterTest::byteByByteEqualsOneRead()
{
    const QByteArray stream = "ascii line\r\n"
                              "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\n"
                              "bad \xff\xfe bytes\x0b"
                              "truncated \xe2\x82 then text\xe2\x80\xa9"
                              "overlong \xc0\xaf and surrogate \xed\xa0\x80 end\n\n"
                              "last \xf0\x9f\x98";
    const QStringList whole = splitAll({stream});
    QList<QByteArray> bytes;
    for (char c : stream)
        bytes.append(QByteArray(1, c));
    QCOMPARE(splitAll(bytes), whole);
    QCOMPARE(whole.size(), 6);
    QCOMPARE(whole.at(1), u"café € 😀"_qs);
    QVERIFY(whole.last().startsWith(QStringLiteral("last ")));
    QVERIFY(whole.last().endsWith(replacement));
}

void AgentOutputLineSplitterTest::holdsAnUnfinishedLineUntilItEnds()
{
    AgentOutputLineSplitter splitter;
    QStringList lines;
    splitter.feed("first\nsecond", lines);
    QCOMPARE(lines, QStringList{"first"});
    QVERIFY(splitter.hasPending());
    splitter.finish(lines);
    QCOMPARE(lines, (QStringList{"first", "second"}));
    QVERIFY(!splitter.hasPending());
    splitter.finish(lines);
    QCOMPARE(lines.size(), 2);
}

void AgentOutputLineSplitterTest::decodesBrokenBytesAsReplacementCharacters_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("suffix");
    QTest::newRow("invalid bytes inside a line") << QList<QByteArray>{"ok \xff end\n"} << "ok "
                                                 << " end";
    QTest::newRow("stray continuation byte") << QList<QByteArray>{"\x80tail\n"} << ""
                                             << "tail";
    QTest::newRow("sequence broken off by ASCII") << QList<QByteArray>{"a\xe2\x82", "x\n"} << "a"
                                                  << "x";
    QTest::newRow("stream ends inside a sequence") << QList<QByteArray>{"end \xe2\x82"} << "end "
                                                   << "";
}

void AgentOutputLineSplitterTest::decodesBrokenBytesAsReplacementCharacters()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QString, prefix);
    QFETCH(QString, suffix);
    const QStringList lines = splitAll(pieces);
    QCOMPARE(lines.size(), 1);
    const QString line = lines.first();
    QVERIFY2(line.startsWith(prefix + replacement), qPrintable(line));
    QVERIFY2(line.endsWith(replacement + suffix), qPrintable(line));
    const QString middle = line.sliced(prefix.size(), line.size() - prefix.size() - suffix.size());
    QVERIFY2(middle.count(replacement) == middle.size(), qPrintable(line));
}

void AgentOutputLineSplitterTest::resynchronizesAfterSkippedOutput()
{
    AgentOutputLineSplitter splitter;
    QStringList lines;
    splitter.feed("whole\ntoken=SEC", lines);
    splitter.resynchronize();
    // The rest of a line whose start was skipped never shows, however many reads it spans.
    splitter.feed("RET-", lines);
    splitter.feed("TAIL\r\nnext\n", lines);
    QCOMPARE(lines, (QStringList{"whole", "next"}));

    splitter.feed("\xe2\x82", lines);
    splitter.resynchronize();
    splitter.feed("\xac fragment", lines);
    splitter.finish(lines);
    QCOMPARE(lines, (QStringList{"whole", "next"}));
    // After the end of a stream a new one starts clean.
    splitter.feed("fresh\n", lines);
    QCOMPARE(lines.last(), "fresh");
}

QTEST_GUILESS_MAIN(AgentOutputLineSplitterTest)
#include "tst_agent_output_line_splitter.moc"
