#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

// The agent's lines about refused tablets, at most one per source and interval, so that a flood cannot bury
// the log: the first refusal from a source is written as it comes; later ones are counted, and when the
// interval ends one line says how many there were. A source that stayed quiet for a whole interval starts
// afresh.
class AuthRefusalLog : public QObject {
    Q_OBJECT

public:
    using Writer = std::function<void(const QString &line)>;
    // Sources written about in one interval at most; refusals from further ones are summed up together.
    static constexpr qsizetype maxSources = 256;

    explicit AuthRefusalLog(int intervalMs, Writer writer = {}, QObject *parent = nullptr);
    // Writes `line` (which names the source) unless `source` already had its line in this interval.
    void refused(const QString &source, const QString &line);

private:
    struct Window {
        qint64 endsMs = 0;
        int unwritten = 0;
    };
    void write(const QString &line) const;
    void closeWindows();
    void schedule();

    int m_intervalMs;
    Writer m_writer;
    QHash<QString, Window> m_windows;
    QElapsedTimer m_clock;
    QTimer m_timer;
};
