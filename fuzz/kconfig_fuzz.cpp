// The configuration reader and the palette built from a colour scheme: the input is the
// scheme file.
#include <QGuiApplication>
#include <cstddef>
#include <cstdint>

#include "fuzz_input.hpp"
#include "kde/kcolorscheme.hpp"
#include "kde/kconfig.hpp"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static QGuiApplication app(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const KSharedConfigPtr config = KSharedConfig::openConfig(
      QString::fromStdString((fuzzing::scratch() / "scheme.colors").string()),
      KConfig::SimpleConfig);
  fuzzing::as_file(data, size, "scheme.colors");
  config->reparseConfiguration();
  KColorScheme::createApplicationPalette(config);
  return 0;
}
