#pragma once

#include <QByteArray>
#include <QString>
#include <QStringMatcher>
#include <QStringView>

#include <vector>

// One secret and every form in which it can be written into a URL or a log line: as it is; percent-encoded
// as UTF-8, with any of its characters encoded or not, in upper- or lower-case hex, and also encoded twice
// (a URL carried in a query value, such as a relay endpoint whose path holds the session); with "+" for a
// blank, as form encoding writes it; and with JSON escapes ("\u00fc", "\/"). Matching all of these at once
// costs one pass over the text, which matters for the agent's output.
class SecretPattern {
public:
    explicit SecretPattern(const QString &secret);

    bool isEmpty() const { return codePoints.empty(); }
    // The length of the longest written form of the secret that begins at `position` in text, or 0.
    qsizetype matchLength(QStringView text, qsizetype position) const;
    // The start of the first written form at or after `from`, or -1; its length goes to `length`.
    qsizetype find(QStringView text, qsizetype from, qsizetype &length) const;
    // An upper bound of the length of any written form.
    qsizetype longestFormLength() const { return longestForm; }

private:
    struct CodePoint {
        qsizetype rawStart = 0; // in `secret`
        qsizetype rawLength = 0;
        qsizetype utf8Start = 0; // in `utf8`
        qsizetype utf8Length = 0;
    };

    // The text positions at which the forms matched so far can end. Seldom more than one or two: only a text
    // built for it makes many alignments viable at once, and those spill to the heap.
    class Positions {
    public:
        explicit Positions(qsizetype first = -1);
        void add(qsizetype position);
        void clear();
        qsizetype size() const { return count; }
        qsizetype at(qsizetype index) const;

    private:
        static constexpr qsizetype inlineCapacity = 8;
        qsizetype inlinePositions[inlineCapacity];
        std::vector<qsizetype> spilled;
        qsizetype count = 0;
    };
    // Adds the end of every form of one code point that begins at `position`.
    void addEnds(const CodePoint &codePoint, const char16_t *text, qsizetype size, qsizetype position,
                 Positions &ends) const;

    QString secret;
    QByteArray utf8;
    QStringMatcher rawMatcher;
    std::vector<CodePoint> codePoints;
    qsizetype longestForm = 0;
    bool hasBlank = false; // a "+" in the text may stand for it
};
