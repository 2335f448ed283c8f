#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QProcessEnvironment>
#include <QString>

// How the host's window draws. Where no graphics device opens, OpenGL is Mesa's software rasterizer, which
// costs the window about 100 MB (the compiler it generates shaders with, and their code); Qt Quick's own
// software renderer draws the same views in a third of that. With a device, Qt's default stays, with a
// texture atlas the size of what the window puts there (Qt sizes it by the window: 4 MB of mostly nothing).
// Qt reads all of this from the environment only, so it is set there before the application starts, and taken
// out again for the programs the host starts: the agent and the programs of coding sessions get the user's
// environment, not the window's. Whatever the user set is left as it is.
namespace WindowDrawing {

using Settings = QList<QPair<QByteArray, QByteArray>>;

// The variables to set for a window starting in `environment`, with or without a graphics device.
Settings chosen(const QProcessEnvironment &environment, bool graphicsDevice);
// Whether a graphics device under `deviceFolder` (a DRI card or render node, NVIDIA's control device) can be
// opened for reading and writing, as a driver would.
bool graphicsDeviceOpens(const QString &deviceFolder = QStringLiteral("/dev"));
// Sets what chosen() gives for this computer. Call before the application and any thread start.
void chooseForThisComputer();
// `environment` without what chooseForThisComputer() set.
QProcessEnvironment withoutOwnSettings(QProcessEnvironment environment);

} // namespace WindowDrawing
