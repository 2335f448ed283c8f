#pragma once

#include "Services/Supervision/AgentOutputLineSplitter.h"

#include <QAbstractListModel>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include <functional>

// The agent's output as the user sees it: both streams split into lines, every secret masked, the last
// `capacity` lines kept. A line too long to keep whole is cut only where no secret is split, and the
// unfinished line of a stream that ends is masked together with any start of a secret at its end.
//
// As a list model, the lines reach a view in at most one change per frame, as rows inserted at the end
// and removed at the start, so a flood of output costs the view no more than a few lines would.
class AgentOutputLog : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role { textRole = Qt::DisplayRole, errorRole = Qt::UserRole + 1 };
    Q_ENUM(Role)

    // The secrets to mask, asked for once per batch so that a rotation takes effect at the next one.
    using SecretsSource = std::function<QStringList()>;
    static constexpr qsizetype defaultCapacity = 200;

    explicit AgentOutputLog(SecretsSource secrets, qsizetype capacity = defaultCapacity,
                            qsizetype maxLineLength = AgentOutputLineSplitter::defaultMaxLineLength,
                            QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;
    // A line the window shows as an error.
    static bool looksLikeError(QStringView line);

    // Takes in bytes read from one stream; the lines they complete wait for publish().
    void take(QProcess::ProcessChannel channel, QByteArrayView bytes);
    // Output of the stream was skipped: no fragment of the line it cut into is ever shown.
    void skip(QProcess::ProcessChannel channel);
    // Masks the waiting lines and shows them.
    void publish();
    // Both streams ended or were abandoned: their unfinished lines are shown, strictly masked.
    void finishStreams();
    // Forgets the lines, for a new agent that starts cleanly.
    void clear();
    // A new agent's output follows; the lines before stay in view but are not quoted as its own.
    void beginRun();

    // Every masked line is also sent whole to linesTranscribed, for a console that prints them all. Off by
    // default: masking the lines a flood pushes out unseen would cost the window for nothing.
    void setTranscribing(bool transcribing) { m_transcribing = transcribing; }
    // Sees every line before it is masked, dropped or shown, for the few lines the host acts on. It must be
    // cheap, and mask what it keeps.
    using LineObserver = std::function<void(const QStringList &lines)>;
    void setLineObserver(LineObserver observer) { m_lineObserver = std::move(observer); }

    QStringList lines() const { return m_lines; }
    // The last lines of the current run, joined for an exit report.
    QString tail(qsizetype count, const QString &separator) const;

signals:
    // The lines changed; the rows follow at the next frame.
    void linesChanged();
    void linesTranscribed(const QStringList &lines);

private:
    void append(const QString &line);
    void scheduleRows();
    // Brings the rows up to the lines.
    void updateRows();

    AgentOutputLineSplitter &splitter(QProcess::ProcessChannel channel);
    AgentOutputLineSplitter::CutGuard cutGuard();

    SecretsSource m_secretsSource;
    QStringList m_secrets; // of the batch being taken in
    qsizetype m_capacity;
    AgentOutputLineSplitter m_stdout;
    AgentOutputLineSplitter m_stderr;
    QStringList m_waiting;
    QStringList m_lines;
    qsizetype m_runLines = 0; // how many of the lines the current run wrote
    QStringList m_rows;       // what the view was told of
    qsizetype m_linesNotInRows = 0;
    QTimer m_rowTimer;
    bool m_transcribing = false;
    LineObserver m_lineObserver;
};
