// The main window's cache measurement and clearing, and the about box.
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <mutex>
#include <thread>

#include "builder/build_lock.hpp"
#include "builder/paths.hpp"
#include "builder/platform.hpp"
#include "builder/window.hpp"

namespace builder {

namespace {

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

// The application that measurements post their result to; null once it is being destroyed.
std::mutex g_post_mutex;
QCoreApplication* g_post_app = nullptr;

void forget_application() {
  const std::lock_guard<std::mutex> lock(g_post_mutex);
  g_post_app = nullptr;
}

}  // namespace

void Window::update_cache_size() {
  clear_button->setText("Clear cache");
  // The folders are named here: the program may end while the thread still walks, and then the
  // workspace globals and the application are gone.
  QStringList folders = {cache_dir()};
  const QString unpacked = unpacked_app_dir();
  if (!unpacked.isEmpty()) folders << QFileInfo(unpacked).absolutePath();
  folders << legacy_cache_dirs();
  {
    const std::lock_guard<std::mutex> lock(g_post_mutex);
    if (g_post_app != QCoreApplication::instance()) {
      g_post_app = QCoreApplication::instance();
      qAddPostRoutine(forget_application);
    }
  }
  QPointer<Window> self(this);
  std::thread([self, folders] {
    qint64 size = 0;
    for (const QString& folder : folders) size += tree_size(folder);
    const std::lock_guard<std::mutex> lock(g_post_mutex);
    if (!g_post_app) return;
    QMetaObject::invokeMethod(
        g_post_app,
        [self, size] {
          if (!self) return;
          self->clear_button->setText("Clear cache (" + format_size(size) + ")");
          self->clear_button->setProperty("bytes", size);
        },
        Qt::QueuedConnection);
  }).detach();
}

void Window::clear_cache() {
  if (job) return;
  const qint64 bytes = clear_button->property("bytes").toLongLong();
  const QString note =
      unpacked_app_dir().isEmpty()
          ? QString()
          : "The unpacked builder is deleted too once it is closed; its next start unpacks it "
            "again.\n\n";
  const auto answer = QMessageBox::question(
      this, "Clear the cache?",
      "Delete the downloaded build tools and build files (" + format_size(bytes) + ")?\n\n" + note +
          "Installed games stay. The next build downloads and compiles everything again, so it "
          "takes longer.",
      QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
  if (answer != QMessageBox::Yes) return;

  // A build of another program (the command line, a launcher) may be using the cache: held
  // here, no build can start until the cache is gone. A missing cache has no lock to take.
  platform::FileLock lock(cache_lock_path());
  if (QFileInfo::exists(cache_dir()) && lock.try_lock(lock_holder()) == platform::FileLock::State::Held) {
    QMessageBox::information(this, "Clear the cache?",
                             "A build is using the cache. Try again when it has finished.");
    return;
  }
  QApplication::setOverrideCursor(Qt::WaitCursor);
  QDir(cache_dir()).removeRecursively();
  for (const QString& folder : legacy_cache_dirs()) QDir(folder).removeRecursively();
  remove_unpacked_app();
  lock.release();
  QApplication::restoreOverrideCursor();
  update_cache_size();
}

void Window::show_about() {
  QDialog dialog(this);
  dialog.setWindowTitle("About Skarnbolt Builder");
  dialog.setMinimumWidth(460);
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
  const int width = qMax(460, dialog.sizeHint().width()) - margins.left() - margins.right();
  const int rest = margins.top() + margins.bottom() + layout->spacing() +
                   buttons->sizeHint().height();
  const int room = screen_room(this);
  scroll->setMinimumHeight(qMax(0, qMin(label->heightForWidth(width), room - rest)));
  dialog.setMaximumHeight(room);
  dialog.exec();
}

}  // namespace builder
