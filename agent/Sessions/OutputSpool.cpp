#include "Sessions/OutputSpool.h"

#include <QDir>

namespace {

const QString prefix = QStringLiteral("out-");

qint64 offsetOf(const QString &name)
{
    bool ok = false;
    const qint64 offset = name.mid(prefix.size()).toLongLong(&ok);
    return ok ? offset : -1;
}

} // namespace

OutputSpool::OutputSpool(QString folder, qsizetype segmentBytes)
    : m_folder(std::move(folder)), m_segmentBytes(segmentBytes)
{}

QStringList OutputSpool::segments() const
{
    // Zero-padded names sort in stream order.
    return QDir(m_folder).entryList({prefix + QLatin1Char('*')}, QDir::Files, QDir::Name);
}

OutputSpool::Kept OutputSpool::load(qsizetype maxBytes) const
{
    // From the newest segment back, as long as each one ends where the next begins.
    Kept kept;
    const QStringList names = segments();
    qint64 expectedEnd = -1;
    for (auto name = names.crbegin(); name != names.crend(); ++name) {
        const qint64 start = offsetOf(*name);
        QFile file(m_folder + QLatin1Char('/') + *name);
        if (start < 0 || !file.open(QIODevice::ReadOnly))
            break;
        if (expectedEnd >= 0 && start + file.size() != expectedEnd)
            break;
        const qint64 wanted = std::min<qint64>(file.size(), maxBytes - kept.bytes.size());
        if (!file.seek(file.size() - wanted))
            break;
        const QByteArray bytes = file.read(wanted);
        if (bytes.size() != wanted)
            break;
        kept.bytes.prepend(bytes);
        kept.start = start + file.size() - wanted;
        if (expectedEnd < 0)
            expectedEnd = start + file.size();
        if (kept.bytes.size() >= maxBytes)
            break;
        expectedEnd = start;
    }
    return kept;
}

QString OutputSpool::append(qint64 offset, const QByteArray &bytes)
{
    if (m_failed || bytes.isEmpty())
        return {};
    if (!m_current.isOpen() || m_currentEnd != offset || m_current.size() >= m_segmentBytes) {
        m_current.close();
        m_current.setFileName(m_folder + QLatin1Char('/') + prefix +
                              QStringLiteral("%1").arg(offset, 16, 10, QLatin1Char('0')));
        // Unbuffered: what the agent received is in the file even if the agent is killed the next moment.
        // Created owner-only: a transcript may hold anything the program showed.
        if (!m_current.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered,
                            QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
            m_failed = true;
            return m_current.errorString();
        }
        const QStringList names = segments();
        for (qsizetype i = 0; i + 3 < names.size(); ++i)
            QFile::remove(m_folder + QLatin1Char('/') + names.at(i));
    }
    if (m_current.write(bytes) != bytes.size()) {
        m_failed = true;
        const QString error = m_current.errorString();
        m_current.close();
        return error;
    }
    m_currentEnd = offset + bytes.size();
    return {};
}
