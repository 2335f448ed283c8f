#include "Shared/WindowDrawing.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace {

constexpr QByteArrayView atlasSide = "256";
constexpr QByteArrayView backendVariable = "QT_QUICK_BACKEND";
constexpr QByteArrayView graphicsApiVariable = "QSG_RHI_BACKEND";
constexpr QByteArrayView atlasWidthVariable = "QSG_ATLAS_WIDTH";
constexpr QByteArrayView atlasHeightVariable = "QSG_ATLAS_HEIGHT";

QList<QByteArray> &setHere()
{
    static QList<QByteArray> names;
    return names;
}

bool opens(const QString &path)
{
    return ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
}

} // namespace

namespace WindowDrawing {

Settings chosen(const QProcessEnvironment &environment, bool graphicsDevice)
{
    Settings settings;
    const auto unlessSet = [&](QByteArrayView name, QByteArrayView value) {
        if (!environment.contains(QString::fromLatin1(name)))
            settings.append({name.toByteArray(), value.toByteArray()});
    };
    const bool userChoseRenderer = environment.contains(QString::fromLatin1(backendVariable)) ||
                                   environment.contains(QString::fromLatin1(graphicsApiVariable));
    if (!graphicsDevice && !userChoseRenderer) {
        // It draws on the main thread, as Qt has it by default: Qt 6.4's threaded loop for this renderer can
        // hang while a window closes (a window flooded with log lines never finished closing).
        settings.append({backendVariable.toByteArray(), "software"});
    } else {
        unlessSet(atlasWidthVariable, atlasSide);
        unlessSet(atlasHeightVariable, atlasSide);
    }
    return settings;
}

bool graphicsDeviceOpens(const QString &deviceFolder)
{
    const QDir dri(deviceFolder + QStringLiteral("/dri"));
    const QStringList nodes =
        dri.entryList({QStringLiteral("card*"), QStringLiteral("renderD*")}, QDir::System | QDir::Files);
    for (const QString &node : nodes) {
        if (opens(dri.filePath(node)))
            return true;
    }
    return opens(deviceFolder + QStringLiteral("/nvidiactl"));
}

void chooseForThisComputer()
{
    const Settings settings = chosen(QProcessEnvironment::systemEnvironment(), graphicsDeviceOpens());
    for (const auto &[name, value] : settings) {
        if (qputenv(name.constData(), value))
            setHere().append(name);
    }
}

QProcessEnvironment withoutOwnSettings(QProcessEnvironment environment)
{
    for (const QByteArray &name : setHere())
        environment.remove(QString::fromLatin1(name));
    return environment;
}

} // namespace WindowDrawing
