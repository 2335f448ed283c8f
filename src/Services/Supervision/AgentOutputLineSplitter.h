#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>
#include <QStringList>

#include <functional>

// Turns one output stream of the agent, read in arbitrary pieces, into text lines.
//
// Lines end at line feed, vertical tab, form feed, carriage return, next line (U+0085), line separator
// (U+2028) and paragraph separator (U+2029); empty lines are dropped, so CR LF is one break. A line or a
// UTF-8 sequence cut between two reads is kept until the rest arrives, so a secret written in two pieces is
// still one line for the redactor. Bytes that are not UTF-8 become U+FFFD. A line that grows past the
// length limit without a break is cut there, so a writer that never ends a line cannot exhaust memory.
class AgentOutputLineSplitter {
public:
    static constexpr qsizetype defaultMaxLineLength = 64 * 1024; // UTF-16 code units

    // Where a long line may be cut: a place near the one proposed (before it, or just past a word that
    // begins the text) so that no word that must stay whole (a secret, to be masked) is split between two
    // pieces; and how much text past the proposed place it needs to see to decide.
    struct CutGuard {
        std::function<qsizetype(QStringView text, qsizetype proposed)> safeCut;
        std::function<qsizetype()> lookahead;
    };

    explicit AgentOutputLineSplitter(qsizetype maxLineLength = defaultMaxLineLength, CutGuard guard = {});

    // Appends the lines completed by these bytes to `lines`.
    void feed(QByteArrayView bytes, QStringList &lines);
    // The stream has ended: appends what is left, an unfinished sequence as U+FFFD. The unfinished line is
    // appended whole, never cut, so a word at its end is not split from its start.
    void finish(QStringList &lines);

    // Output was skipped: drops the unfinished line and everything up to the next line feed, vertical tab,
    // form feed or carriage return, so no fragment of a skipped line (a cut secret, say) is ever shown.
    void resynchronize();

    bool hasPending() const { return !m_partialLine.isEmpty() || !m_incompleteSequence.isEmpty(); }

private:
    void split(QStringView text, QStringList &lines);
    void appendLine(QStringView piece, QStringList &lines);
    // Where to end the first piece of a text longer than the limit.
    qsizetype cutPosition(QStringView text) const;

    qsizetype m_maxLineLength;
    CutGuard m_guard;
    // Reused for every read, so a busy stream does not allocate (and fault in) a fresh buffer each time.
    QStringDecoder m_decoder{QStringDecoder::Utf8, QStringDecoder::Flag::Stateless};
    QString m_decoded;
    QByteArray m_incompleteSequence; // the start of a UTF-8 sequence whose last bytes are still to come
    QString m_partialLine;
    bool m_dropUntilBreak = false;
};
