#include "programIcon.h"

#include <QPixmap>

#include <stdexcept>

namespace gw {

QIcon IconFromFolder(const QString& folder) {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    const QString file = QString("%1/%2x%2/apps/gatewarden.png").arg(folder).arg(size);
    const QPixmap picture(file);
    if (picture.isNull()) throw std::runtime_error("The program's icon " + file.toStdString() + " is missing");
    icon.addPixmap(picture);
  }
  return icon;
}

QIcon ProgramIcon() { return IconFromFolder(":/icons"); }

} // namespace gw
