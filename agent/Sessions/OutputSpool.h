#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// A session's recent output in files beside its exit status, so that an agent that starts again still has the
// output the previous one received. Files of `segmentBytes` each, named by the stream offset of their first
// byte; the oldest is deleted once two full ones follow it, so about two to three segments are kept.
class OutputSpool {
public:
    OutputSpool(QString folder, qsizetype segmentBytes);

    struct Kept {
        qint64 start = 0;
        QByteArray bytes;
    };
    // The newest contiguous run of kept output, at most `maxBytes` of it.
    Kept load(qsizetype maxBytes) const;
    // Adds `bytes`, which begin at stream offset `offset`. After a failed write the spool stops (the history
    // in memory goes on) and the error is returned once.
    QString append(qint64 offset, const QByteArray &bytes);

private:
    QStringList segments() const;

    QString m_folder;
    qsizetype m_segmentBytes;
    QFile m_current;
    qint64 m_currentEnd = -1;
    bool m_failed = false;
};
