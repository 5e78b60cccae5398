// The input of the argument walks' fuzz targets.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>

namespace fuzzing {

// The input as NUL-separated UTF-8 texts: a command line, program name first.
inline QStringList as_arguments(const std::uint8_t* data, std::size_t size) {
  QStringList args;
  for (const QByteArray& piece :
       QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)).split('\0'))
    args << QString::fromUtf8(piece);
  return args;
}

}  // namespace fuzzing
