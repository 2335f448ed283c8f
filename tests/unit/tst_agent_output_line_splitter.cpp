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
    void splitsAtEveryLineBreak_data();
    void splitsAtEveryLineBreak();
    void keepsLinesAndCharactersCutBetweenReads_data();
    void keepsLinesAndCharactersCutBetweenReads();
    void byteByByteEqualsOneRead();
    void holdsAnUnfinishedLineUntilItEnds();
    void decodesBrokenBytesAsReplacementCharacters_data();
    void decodesBrokenBytesAsReplacementCharacters();
    void boundsLongLines_data();
    void boundsLongLines();
    void boundsALineThatNeverEnds();
    void resynchronizesAfterSkippedOutput();
};

void AgentOutputLineSplitterTest::splitsAtEveryLineBreak_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("CR LF, LF and a blank line")
        << QByteArray("one\r\ntwo\n\nthree") << QStringList{"one", "two", "three"};
    QTest::newRow("no break at all") << QByteArray("  just one  ") << QStringList{"  just one  "};
    QTest::newRow("only breaks") << QByteArray("\n\r\n\r\x0b\x0c") << QStringList{};
    QTest::newRow("vertical tab and form feed") << QByteArray("a\x0b"
                                                              "b\x0c"
                                                              "c")
                                                << QStringList{"a", "b", "c"};
    QTest::newRow("next line, line and paragraph separators") << QByteArray("a\xc2\x85"
                                                                            "b\xe2\x80\xa8"
                                                                            "c\xe2\x80\xa9"
                                                                            "d")
                                                              << QStringList{"a", "b", "c", "d"};
    QTest::newRow("lone CR") << QByteArray("a\rb\r") << QStringList{"a", "b"};
    QTest::newRow("tabs stay inside a line") << QByteArray("\tindented\t\n") << QStringList{"\tindented\t"};
}

void AgentOutputLineSplitterTest::splitsAtEveryLineBreak()
{
    QFETCH(QByteArray, chunk);
    QFETCH(QStringList, expected);
    QCOMPARE(splitAll({chunk}), expected);
}

void AgentOutputLineSplitterTest::keepsLinesAndCharactersCutBetweenReads_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("a secret cut in two")
        << QList<QByteArray>{"token=abc", "def\n"} << QStringList{"token=abcdef"};
    QTest::newRow("CR at the end, LF at the start of the next read")
        << QList<QByteArray>{"one\r", "\ntwo\n"} << QStringList{"one", "two"};
    QTest::newRow("two-byte character cut")
        << QList<QByteArray>{"caf\xc3", "\xa9\n"} << QStringList{u"café"_qs};
    QTest::newRow("three-byte character cut after one byte")
        << QList<QByteArray>{"\xe2", "\x82\xac 5\n"} << QStringList{u"€ 5"_qs};
    QTest::newRow("four-byte character in three reads")
        << QList<QByteArray>{"x\xf0\x9f", "\x98", "\x80y\n"} << QStringList{u"x😀y"_qs};
    QTest::newRow("line separator cut") << QList<QByteArray>{"a\xe2\x80", "\xa8"
                                                                          "b"}
                                        << QStringList{"a", "b"};
    QTest::newRow("empty reads change nothing")
        << QList<QByteArray>{"", "a", "", "b\n", ""} << QStringList{"ab"};
}

void AgentOutputLineSplitterTest::keepsLinesAndCharactersCutBetweenReads()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QStringList, expected);
    QCOMPARE(splitAll(pieces), expected);
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

void AgentOutputLineSplitterTest::boundsLongLines_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("complete line longer than the limit")
        << QList<QByteArray>{"abcdefghij\n"} << QStringList{"abcdefgh", "ij"};
    QTest::newRow("unfinished line reaching the limit over reads")
        << QList<QByteArray>{"abcde", "fghij", "k"} << QStringList{"abcdefgh", "ijk"};
    QTest::newRow("exactly the limit, then its break")
        << QList<QByteArray>{"abcdefgh", "\nx"} << QStringList{"abcdefgh", "x"};
    QTest::newRow("never cut inside a surrogate pair")
        << QList<QByteArray>{"abcdefg\xf0\x9f\x98\x80xyz"} << QStringList{"abcdefg", u"😀xyz"_qs};
}

void AgentOutputLineSplitterTest::boundsLongLines()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QStringList, expected);
    QCOMPARE(splitAll(pieces, 8), expected);
}

void AgentOutputLineSplitterTest::boundsALineThatNeverEnds()
{
    AgentOutputLineSplitter splitter;
    QStringList lines;
    const QByteArray block(10'000, 'x');
    for (int i = 0; i < 100; ++i)
        splitter.feed(block, lines);
    // A million bytes without a break: everything but the last unfinished piece is out as full-length lines.
    QCOMPARE(lines.size(), 1'000'000 / AgentOutputLineSplitter::defaultMaxLineLength);
    for (const QString &line : std::as_const(lines))
        QCOMPARE(line.size(), AgentOutputLineSplitter::defaultMaxLineLength);
    splitter.finish(lines);
    QCOMPARE(lines.last().size(), 1'000'000 % AgentOutputLineSplitter::defaultMaxLineLength);
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
