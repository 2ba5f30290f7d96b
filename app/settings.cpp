#include "app/settings.h"

namespace qm::app {

std::unique_ptr<QSettings> OpenSettings() {
  auto settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                              "Marrowby", "Marrowby");
  settings->beginGroup("Quillomat");
  return settings;
}

}  // namespace qm::app
