// The operating-system services that read the same everywhere.
#include "builder/platform.hpp"

#include <QDir>

namespace builder::platform {

QString local_app_data() {
  // An empty value counts as unset: paths built on it would land at the file-system root.
  const QString value = qEnvironmentVariable("LOCALAPPDATA");
  return value.isEmpty() ? QDir::homePath() : value;
}

}  // namespace builder::platform
