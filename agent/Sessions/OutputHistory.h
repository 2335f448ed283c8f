#pragma once

#include <QByteArray>

#include <deque>

// How many leading bytes of `bytes` end on a character boundary: a trailing UTF-8 character still missing
// bytes (its first one to three bytes) is left out; bytes that no continuation can complete are counted.
qsizetype completeUtf8Prefix(const QByteArray &bytes);

// A session's output as a byte stream counted from its start, of which the last `capacity` bytes or a little
// more are kept. Appending costs no copy of what is kept; reading copies only what it returns.
class OutputHistory {
public:
    explicit OutputHistory(qsizetype capacity);

    // What a previous run of the agent kept: `bytes` are the stream's bytes from `startOffset` on.
    void restore(qint64 startOffset, const QByteArray &bytes);
    void append(const QByteArray &bytes);
    // The offset of the oldest byte kept and the offset after the newest.
    qint64 start() const { return m_start; }
    qint64 end() const { return m_end; }
    // At most `maxBytes` from `offset` (between start() and end()), ending on a character boundary, so that a
    // message never ends inside a character the next one completes: nothing when the first character does
    // not fit in `maxBytes`.
    QByteArray read(qint64 offset, qsizetype maxBytes) const;

private:
    qsizetype m_capacity;
    std::deque<QByteArray> m_chunks;
    qint64 m_start = 0;
    qint64 m_end = 0;
};
