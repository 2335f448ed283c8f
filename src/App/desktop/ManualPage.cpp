// Writes the manual page from its template and the host's option table, the one --help reads, so the two
// cannot drift apart. The template's line `.\" options` becomes the options, `.\" exit status` the exit
// statuses. Usage: ManualPage <template> <page>
#include "App/CommandLine/HostOptions.h"

#include <QFile>
#include <QStringList>

#include <cstdlib>

namespace {

// Text for troff: a backslash is written as one, every dash is a dash (and copies as one), and no line
// starts as a request.
QString troff(QString text)
{
    text.replace(QLatin1Char('\\'), QLatin1String("\\e")).replace(QLatin1Char('-'), QLatin1String("\\-"));
    if (text.startsWith(QLatin1Char('.')) || text.startsWith(QLatin1Char('\'')))
        text.prepend(QLatin1String("\\&"));
    return text;
}

QString heading(HostOptions::Kind kind)
{
    switch (kind) {
    case HostOptions::Kind::general:
        return QStringLiteral("General");
    case HostOptions::Kind::hosting:
        return QStringLiteral("Hosting");
    case HostOptions::Kind::request:
        return QStringLiteral("Requests to the running host");
    case HostOptions::Kind::modifier:
        return QStringLiteral("With a request");
    case HostOptions::Kind::hidden:
        break;
    }
    return {};
}

QString options()
{
    QString page = QStringLiteral(".SH OPTIONS\n");
    QString section;
    for (const HostOptions::Option &option : HostOptions::all()) {
        if (option.kind == HostOptions::Kind::hidden)
            continue;
        if (heading(option.kind) != section) {
            section = heading(option.kind);
            page += QStringLiteral(".SS \"%1\"\n").arg(section);
        }
        QString names = QStringLiteral("\\fB\\-\\-%1\\fR").arg(troff(option.name));
        if (!option.shortName.isEmpty())
            names.prepend(QStringLiteral("\\fB\\-%1\\fR, ").arg(troff(option.shortName)));
        if (!option.valueName.isEmpty())
            names += QStringLiteral(" \\fI%1\\fR").arg(troff(option.valueName));
        page += QStringLiteral(".TP\n") + names + QLatin1Char('\n') + troff(option.description) +
                QLatin1Char('\n');
    }
    return page;
}

QString exitStatuses()
{
    QString page;
    for (const HostOptions::ExitStatus &status : HostOptions::exitStatuses())
        page += QStringLiteral(".TP\n.B %1\n%2\n").arg(status.code).arg(troff(status.meaning));
    return page;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3)
        return EXIT_FAILURE;
    QFile in(QString::fromLocal8Bit(argv[1]));
    if (!in.open(QIODevice::ReadOnly))
        return EXIT_FAILURE;
    QStringList lines = QString::fromUtf8(in.readAll()).split(QLatin1Char('\n'));
    const qsizetype optionsAt = lines.indexOf(QStringLiteral(".\\\" options"));
    const qsizetype exitAt = lines.indexOf(QStringLiteral(".\\\" exit status"));
    if (optionsAt < 0 || exitAt < 0)
        return EXIT_FAILURE;
    lines[optionsAt] = options().chopped(1);
    lines[exitAt] = exitStatuses().chopped(1);
    QFile out(QString::fromLocal8Bit(argv[2]));
    const QByteArray page = lines.join(QLatin1Char('\n')).toUtf8();
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(page) != page.size())
        return EXIT_FAILURE;
    return out.flush() ? EXIT_SUCCESS : EXIT_FAILURE;
}
