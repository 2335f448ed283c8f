#pragma once

#include <QProcessEnvironment>

// Qt Quick sizes the texture atlas for small images by the window (1024 x 1024, 4 MB here), whatever the
// images are; the host's window holds only the controls' few small glyphs there. An image larger than half
// the atlas gets a texture of its own, so a smaller atlas changes nothing on screen. Qt reads the size from
// the environment only, so it is set there, and taken out again for the programs the host starts: the agent
// and the programs of coding sessions get the user's environment, not the window's.
namespace WindowTextureAtlas {
// Sets a small atlas for this process's windows, unless the user chose a size. Call before any thread starts.
void useSmall();
// `environment` without what useSmall() set.
QProcessEnvironment withoutOwnSetting(QProcessEnvironment environment);
} // namespace WindowTextureAtlas
