// Text between the core and Qt: the core's std::string is UTF-8, as is QString's std::string
// conversion, so a path or message crosses unchanged either way.
#pragma once

#include <QString>
#include <string>

namespace qm::app {

inline QString Q(const std::string& s) {
  return QString::fromStdString(s);
}
inline std::string S(const QString& s) {
  return s.toStdString();
}

}  // namespace qm::app
