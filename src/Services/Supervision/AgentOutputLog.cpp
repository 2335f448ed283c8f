#include "Services/Supervision/AgentOutputLog.h"

#include "Services/Redaction/HostSecretRedactor.h"

namespace {
// About one frame: a view gets at most one change of rows in that time.
constexpr std::chrono::milliseconds rowInterval{16};
} // namespace

AgentOutputLog::AgentOutputLog(SecretsSource secrets, qsizetype capacity, qsizetype maxLineLength,
                               QObject *parent)
    : QAbstractListModel(parent), m_secretsSource(std::move(secrets)),
      m_capacity(std::max<qsizetype>(capacity, 1)), m_stdout(maxLineLength, cutGuard()),
      m_stderr(maxLineLength, cutGuard())
{
    m_rowTimer.setSingleShot(true);
    m_rowTimer.setInterval(rowInterval);
    connect(&m_rowTimer, &QTimer::timeout, this, &AgentOutputLog::updateRows);
}

int AgentOutputLog::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant AgentOutputLog::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const QString &line = m_rows.at(index.row());
    switch (role) {
    case textRole:
        return line;
    case errorRole:
        return looksLikeError(line);
    default:
        return {};
    }
}

QHash<int, QByteArray> AgentOutputLog::roleNames() const
{
    return {{textRole, "line"}, {errorRole, "isError"}};
}

bool AgentOutputLog::looksLikeError(QStringView line)
{
    return line.contains(QLatin1String("error"), Qt::CaseInsensitive);
}

void AgentOutputLog::append(const QString &line)
{
    m_lines.append(line);
    ++m_runLines;
    ++m_linesNotInRows;
}

void AgentOutputLog::scheduleRows()
{
    if (m_lines.size() > m_capacity)
        m_lines.remove(0, m_lines.size() - m_capacity);
    if (!m_rowTimer.isActive())
        m_rowTimer.start();
    emit linesChanged();
}

void AgentOutputLog::updateRows()
{
    const qsizetype fresh = std::min(m_linesNotInRows, m_lines.size());
    m_linesNotInRows = 0;
    const qsizetype kept = std::min(m_rows.size(), m_capacity - fresh);
    if (kept < m_rows.size()) {
        beginRemoveRows({}, 0, static_cast<int>(m_rows.size() - kept - 1));
        m_rows.remove(0, m_rows.size() - kept);
        endRemoveRows();
    }
    if (fresh > 0) {
        beginInsertRows({}, static_cast<int>(m_rows.size()), static_cast<int>(m_rows.size() + fresh - 1));
        m_rows.append(m_lines.mid(m_lines.size() - fresh));
        endInsertRows();
    }
}

AgentOutputLineSplitter::CutGuard AgentOutputLog::cutGuard()
{
    return {[this](QStringView text, qsizetype proposed) {
                return HostSecretRedactor::safeCut(text, proposed, m_secrets);
            },
            [this] {
                return HostSecretRedactor::longestFormLength(m_secrets);
            }};
}

AgentOutputLineSplitter &AgentOutputLog::splitter(QProcess::ProcessChannel channel)
{
    return channel == QProcess::StandardError ? m_stderr : m_stdout;
}

void AgentOutputLog::take(QProcess::ProcessChannel channel, QByteArrayView bytes)
{
    if (m_secretsSource)
        m_secrets = m_secretsSource();
    splitter(channel).feed(bytes, m_waiting);
}

void AgentOutputLog::skip(QProcess::ProcessChannel channel)
{
    splitter(channel).resynchronize();
}

void AgentOutputLog::publish()
{
    if (m_waiting.isEmpty())
        return;
    if (m_lineObserver)
        m_lineObserver(m_waiting);
    if (m_secretsSource)
        m_secrets = m_secretsSource();
    // Lines that this very batch pushes out are never shown to anyone, so they are not masked, unless a
    // transcript takes every line.
    const qsizetype kept = std::min(m_waiting.size(), m_capacity);
    QStringList transcript;
    for (qsizetype i = m_transcribing ? 0 : m_waiting.size() - kept; i < m_waiting.size(); ++i) {
        const QString line = HostSecretRedactor::redact(m_waiting.at(i), m_secrets);
        if (m_transcribing)
            transcript.append(line);
        if (i >= m_waiting.size() - kept)
            append(line);
    }
    // The lines pushed out unseen still count for the run, so an exit report never quotes an earlier one.
    m_runLines += m_waiting.size() - kept;
    m_waiting.clear();
    scheduleRows();
    if (!transcript.isEmpty())
        emit linesTranscribed(transcript);
}

void AgentOutputLog::finishStreams()
{
    publish();
    if (m_secretsSource)
        m_secrets = m_secretsSource();
    QStringList unfinished;
    m_stdout.finish(unfinished);
    m_stderr.finish(unfinished);
    if (unfinished.isEmpty())
        return;
    for (QString &line : unfinished) {
        line = HostSecretRedactor::redactFragment(line, m_secrets);
        append(line);
    }
    scheduleRows();
    if (m_transcribing)
        emit linesTranscribed(unfinished);
}

void AgentOutputLog::clear()
{
    // The streams of the agent that wrote these lines are over; nothing of them may leak into the next.
    QStringList discarded;
    m_stdout.finish(discarded);
    m_stderr.finish(discarded);
    m_waiting.clear();
    m_runLines = 0;
    m_linesNotInRows = 0;
    m_rowTimer.stop();
    if (!m_rows.isEmpty()) {
        beginRemoveRows({}, 0, static_cast<int>(m_rows.size() - 1));
        m_rows.clear();
        endRemoveRows();
    }
    if (m_lines.isEmpty())
        return;
    m_lines.clear();
    emit linesChanged();
}

void AgentOutputLog::beginRun()
{
    m_runLines = 0;
}

QString AgentOutputLog::tail(qsizetype count, const QString &separator) const
{
    const qsizetype quoted = std::min({count, m_runLines, m_lines.size()});
    return m_lines.mid(m_lines.size() - quoted).join(separator);
}
