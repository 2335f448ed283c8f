#include "Shared/WindowTextureAtlas.h"

#include <array>

namespace {

constexpr int atlasSide = 256;
const std::array<QString, 2> sizeVariables{QStringLiteral("QSG_ATLAS_WIDTH"),
                                           QStringLiteral("QSG_ATLAS_HEIGHT")};
std::array<bool, 2> setHere{};

} // namespace

namespace WindowTextureAtlas {

void useSmall()
{
    for (size_t i = 0; i < sizeVariables.size(); ++i) {
        const QByteArray name = sizeVariables[i].toLatin1();
        if (!qEnvironmentVariableIsSet(name.constData()))
            setHere[i] = qputenv(name.constData(), QByteArray::number(atlasSide));
    }
}

QProcessEnvironment withoutOwnSetting(QProcessEnvironment environment)
{
    for (size_t i = 0; i < sizeVariables.size(); ++i) {
        if (setHere[i])
            environment.remove(sizeVariables[i]);
    }
    return environment;
}

} // namespace WindowTextureAtlas
