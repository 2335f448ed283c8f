#include "App/CommandLine/WindowDisplay.h"

#include "Shared/AppBrand.h"

#include <algorithm>

namespace {

// X11 and Wayland, the platforms a desktop session uses, and Qt's choice when none is named.
bool needsDisplay(const QString &platform)
{
    const QString name = platform.section(QLatin1Char(':'), 0, 0).trimmed();
    return name.isEmpty() || name == QLatin1String("xcb") || name.startsWith(QLatin1String("wayland"));
}

} // namespace

std::optional<QString> WindowDisplay::missing(const QStringList &arguments,
                                              const QProcessEnvironment &environment)
{
    for (const char *display : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        if (!environment.value(QString::fromLatin1(display)).isEmpty())
            return std::nullopt;
    }
    // Qt takes the platform from its option first, then from the variable, which may list several to try.
    QStringList platforms;
    const qsizetype option = arguments.indexOf(QStringLiteral("-platform"));
    if (option > 0 && option + 1 < arguments.size())
        platforms = {arguments.at(option + 1)};
    else
        platforms = environment.value(QStringLiteral("QT_QPA_PLATFORM")).split(QLatin1Char(';'));
    if (!std::all_of(platforms.cbegin(), platforms.cend(), needsDisplay))
        return std::nullopt;
    return QStringLiteral(
               "%1: there is no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY "
               "is set); to host without one, run: %1 --headless")
        .arg(AppBrand::hostExecutableName);
}
