#pragma once

#include <QIcon>
#include <QString>

namespace gw {

// The program's icon at every size it is drawn in, as a desktop picks from them: the tray
// icon and every window's icon. Raises when a size is missing from the program's resources,
// since a blank tray icon leaves a hidden window no visible way back.
QIcon ProgramIcon();

// The icon from the files `folder`/NxN/apps/gatewarden.png, for every size N it is drawn in;
// raises naming the first file that does not load.
QIcon IconFromFolder(const QString& folder);

} // namespace gw
