#pragma once

#include <QByteArray>
#include <QString>

// A session's recent output as its holder keeps it in the session's folder (see SessionHolderProtocol.h),
// read by an agent that starts again and takes the session over.
class OutputSpool {
public:
    explicit OutputSpool(QString folder);

    struct Kept {
        qint64 start = 0;
        QByteArray bytes;
    };
    // The newest contiguous run of kept output, at most `maxBytes` of it.
    Kept load(qsizetype maxBytes) const;

private:
    QStringList segments() const;

    QString m_folder;
};
