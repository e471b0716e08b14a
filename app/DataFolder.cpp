#include "app/DataFolder.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

std::string Canonical(const QString& path) {
  const QString canonical = QFileInfo(path).canonicalFilePath();
  return (canonical.isEmpty() ? QDir::cleanPath(path) : canonical).toStdString();
}

}  // namespace

bool WorkingFolderSuits(const std::string& workingDir, const std::string& homeDir, bool writable) {
  return writable && workingDir != homeDir && workingDir != "/";
}

std::string EnterDataFolder() {
  const QString working = QDir::currentPath();
  if (WorkingFolderSuits(Canonical(working), Canonical(QDir::homePath()), QFileInfo(working).isWritable()))
    return working.toStdString();
  const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  if (data.isEmpty()) return working.toStdString();
  const QString folder = data + QStringLiteral("/nat-sip-alg-tester");
  if (!QDir().mkpath(folder) || !QDir::setCurrent(folder)) return working.toStdString();
  return folder.toStdString();
}
