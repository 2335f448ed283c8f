#include "Services/Supervision/AgentOutputLog.h"

#include "Services/HostSecretRedactor.h"

AgentOutputLog::AgentOutputLog(SecretsSource secrets, qsizetype capacity, qsizetype maxLineLength,
                               QObject *parent)
    : QObject(parent), m_secretsSource(std::move(secrets)), m_capacity(std::max<qsizetype>(capacity, 1)),
      m_stdout(maxLineLength, cutGuard()), m_stderr(maxLineLength, cutGuard())
{}

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
    if (m_secretsSource)
        m_secrets = m_secretsSource();
    // Lines that this very batch pushes out are never shown to anyone, so they are not masked.
    const qsizetype kept = std::min(m_waiting.size(), m_capacity);
    for (qsizetype i = m_waiting.size() - kept; i < m_waiting.size(); ++i)
        m_lines.append(HostSecretRedactor::redact(m_waiting.at(i), m_secrets));
    m_runLines += m_waiting.size();
    m_waiting.clear();
    if (m_lines.size() > m_capacity)
        m_lines.remove(0, m_lines.size() - m_capacity);
    emit linesChanged();
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
    for (const QString &line : std::as_const(unfinished))
        m_lines.append(HostSecretRedactor::redactFragment(line, m_secrets));
    m_runLines += unfinished.size();
    if (m_lines.size() > m_capacity)
        m_lines.remove(0, m_lines.size() - m_capacity);
    emit linesChanged();
}

void AgentOutputLog::clear()
{
    // The streams of the agent that wrote these lines are over; nothing of them may leak into the next.
    QStringList discarded;
    m_stdout.finish(discarded);
    m_stderr.finish(discarded);
    m_waiting.clear();
    m_runLines = 0;
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
