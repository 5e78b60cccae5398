// The main window's cache measurement and clearing.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <mutex>
#include <thread>

#include "builder/build_lock.hpp"
#include "builder/paths.hpp"
#include "builder/platform.hpp"
#include "builder/window.hpp"

namespace builder {

namespace {

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
  if (QFileInfo::exists(cache_dir()) &&
      lock.try_lock(lock_holder()) == platform::FileLock::State::Held) {
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

}  // namespace builder
