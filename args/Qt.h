#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

#include "Arguments.h"

namespace args {

// A Qt program's arguments, for a Reader.
inline std::vector<std::string> fromQt(const QStringList& arguments) {
  std::vector<std::string> list;
  list.reserve(static_cast<std::size_t>(arguments.size()));
  for (const QString& argument : arguments) list.push_back(argument.toStdString());
  return list;
}

}  // namespace args
