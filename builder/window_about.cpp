// The main window's about box: the project, its credits and where the build tools come from.
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

#include "builder/window.hpp"

namespace builder {

namespace {

// The about box's least width, which its text wraps to.
constexpr int kAboutWidth = 460;

// Tools and licences named in the about box, one table row each.
const char* const kCredits[][2] = {
    {"Qt 6", "LGPL 3.0"},
    {"KDE Breeze style", "GPL 2.0 or later"},
    {"KDE KColorScheme, KGuiAddons", "LGPL 2.0 or later"},
    {"SDL 3", "zlib License"},
    {"FreeType", "FreeType License"},
    {"HarfBuzz", "MIT (Old MIT)"},
    {"XZ Utils (liblzma)", "0BSD"},
    {"zlib", "zlib License"},
    {"Capstone", "BSD 3-Clause"},
    {"QR Code generator", "MIT"},
    {"quirc", "ISC"},
    {"stb_image", "MIT or public domain"},
    {"ANGLE (Windows; build-angle)", "BSD 3-Clause"},
    {"fontconfig (Linux)", "MIT-style"},
    {"Zig (Linux, if no compiler is installed)", "MIT"},
    {"LLVM libc++ (with Zig)", "Apache 2.0 with LLVM exception"},
    {"CMake", "BSD 3-Clause"},
    {"Ninja", "Apache 2.0"},
    {"llvm-mingw (Windows)", "Apache 2.0 with LLVM exception, mingw-w64 licenses"},
    {"Android NDK, SDK tools", "Android Software Development Kit License"},
    {"Eclipse Temurin (Java)", "GPL 2.0 with Classpath Exception"},
    {"devkitA64 (GCC, binutils, newlib)", "GPL 3.0 with runtime exceptions, newlib licenses"},
    {"libnx, switch-tools", "ISC"},
    {"SDL 2 (Switch)", "zlib License"},
    {"Mesa, libdrm (Switch)", "MIT"},
};

QString about_text() {
  QString text =
      "<h3>skarnbolt-port</h3>"
      "<p>Unofficial static recompilation of a family of Android games, running natively "
      "without an emulator.</p>"
      "<p>Project page: <a href='https://skarnbolt-port.example.org/'>"
      "https://skarnbolt-port.example.org/</a></p>"
      "<p>Made by the contributors of skarnbolt-port.</p>"
      "<p>The games' files come from the APK you provide; nothing of the original games is "
      "included.</p>"
      "<p><b>Libraries and tools</b></p>"
      "<table cellspacing='0' cellpadding='1'>";
  for (const auto& row : kCredits)
    text += QString("<tr><td>%1</td><td>&nbsp;%2</td></tr>").arg(row[0], row[1]);
  text +=
      "</table>"
      "<p>Build tools are downloaded from their official sources when needed and checked "
      "against pinned SHA-256 hashes; devkitPro's packages against the hashes in devkitPro's "
      "package lists. ANGLE has no official binaries: it comes from build-angle's builds of "
      "Google's source.</p>";
  return text;
}

}  // namespace

void Window::show_about() {
  QDialog dialog(this);
  dialog.setWindowTitle("About Skarnbolt Builder");
  dialog.setMinimumWidth(kAboutWidth);
  auto* layout = new QVBoxLayout(&dialog);
  auto* label = new QLabel(about_text());
  label->setTextFormat(Qt::RichText);
  label->setOpenExternalLinks(true);
  label->setWordWrap(true);
  label->setTextInteractionFlags(Qt::TextBrowserInteraction);
  auto* scroll = new QScrollArea(&dialog);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setWidget(label);
  layout->addWidget(scroll);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::close);
  layout->addWidget(buttons);
  // The whole text where the screen has room for it; on a short screen the box takes the
  // screen's height and the text scrolls.
  const QMargins margins = layout->contentsMargins();
  const int width = qMax(kAboutWidth, dialog.sizeHint().width()) - margins.left() - margins.right();
  const int rest =
      margins.top() + margins.bottom() + layout->spacing() + buttons->sizeHint().height();
  const int room = screen_room(this);
  scroll->setMinimumHeight(qMax(0, qMin(label->heightForWidth(width), room - rest)));
  dialog.setMaximumHeight(room);
  dialog.exec();
}

}  // namespace builder
