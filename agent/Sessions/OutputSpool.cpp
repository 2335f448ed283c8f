#include "Sessions/OutputSpool.h"

#include "Shared/SessionHolderProtocol.h"

#include <QDir>

namespace {

const QString prefix = QLatin1String(SessionHolderProtocol::spoolPrefix.data(),
                                     qsizetype(SessionHolderProtocol::spoolPrefix.size()));

qint64 offsetOf(const QString &name)
{
    bool ok = false;
    const qint64 offset = name.mid(prefix.size()).toLongLong(&ok);
    return ok ? offset : -1;
}

} // namespace

OutputSpool::OutputSpool(QString folder) : m_folder(std::move(folder)) {}

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
