// The launcher mode's argument walk; the input is the command line, NUL-separated.
#include <cstddef>
#include <cstdint>

#include "arguments.hpp"
#include "builder/launcher.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  QString error;
  builder::parse_launcher_options(fuzzing::as_arguments(data, size), error);
  return 0;
}
