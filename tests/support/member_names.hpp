// Forms of archive member names, and whether every system writes them as named. Each is a
// piece, or a folder and a piece, that a test puts below whatever folder its caller writes to.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

struct NameForm {
  const char* what;
  std::string name;
  bool safe;
};

inline const std::vector<NameForm>& name_forms() {
  static const std::vector<NameForm> forms = {
      {"a device", "con", false},
      {"a device in capitals", "CON", false},
      {"a device with an extension", "nul.txt", false},
      {"a device with two extensions", "aux.tar.gz", false},
      {"a device as a folder", "prn/x.txt", false},
      {"a device below a folder", "d/nul.txt", false},
      {"a serial port", "com1", false},
      {"a printer port with an extension", "LPT9.log", false},
      {"a port numbered with a superscript", "com\xC2\xB9", false},
      {"the console's input", "conin$", false},
      {"a device, blanks, then an extension", "con .txt", false},
      {"a trailing dot", "trailing.", false},
      {"a trailing dot and blank", "a. ", false},
      {"a trailing blank", "blank ", false},
      {"a folder with a trailing dot", "folder./x.txt", false},
      {"dots alone", "...", false},
      {"a stream", "a.txt:stream", false},
      {"the default stream", "a.txt::$DATA", false},
      {"a control character",
       "a\x01"
       "b",
       false},
      {"a tab", "tab\tname", false},
      {"a stray byte", "\xFF.txt", false},
      {"a cut-off sequence", "caf\xC3", false},
      {"an overlong slash",
       "a\xC0\xAF"
       "b",
       false},
      {"an encoded surrogate", "\xED\xA0\x80.txt", false},
      // Names that only look like the ones above.
      {"a device's name and more", "console.txt", true},
      {"a port past nine", "com10", true},
      {"a port without its number", "lpt", true},
      {"a device's name and a hyphen", "nul-file", true},
      {"a device's name and an underscore, as a folder", "con_/x.txt", true},
      {"a hidden file", ".hidden", true},
      {"dots inside", "a..b.c", true},
      {"blanks inside", "a name with blanks.txt", true},
      {"a dollar", "$DATA", true},
      {"Unicode",
       "donn\xC3\xA9"
       "es/\xE7\x9B\xAE\xE5\xBD\x95.txt",
       true},
  };
  return forms;
}

}  // namespace testing_support
