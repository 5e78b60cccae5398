// Helpers of the window tests: one offscreen application in a private home, modal dialogs
// answered from inside their event loops, and APKs that the fixture catalogue recognises.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "builder/paths.hpp"
#include "support/test_support.hpp"

namespace testing_support {

inline QString qpath(const fs::path& path) { return QString::fromUtf8(path.u8string().c_str()); }

// The private home of this test process: HOME, LOCALAPPDATA and the data root lie below it.
inline const TempDir& gui_home() {
  static TempDir home;
  return home;
}

// The build log of the last build, for the message of a failed expectation.
inline std::string last_build_log() {
  QFile file(builder::log_dir() + "/last-build.log");
  return "--- last-build.log:\n" +
         (file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "(cannot read)\n");
}

// The one application object of the test process, offscreen, with Qt's own file dialogs.
inline QApplication& gui_app() {
  static QApplication* app = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    const QString home = qpath(gui_home().path());
    qputenv("HOME", home.toUtf8());
    qputenv("LOCALAPPDATA", (home + "/local").toUtf8());
    qputenv("XDG_CONFIG_HOME", (home + "/config").toUtf8());
    QDir().mkpath(home + "/runtime");
    QFile::setPermissions(home + "/runtime",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", (home + "/runtime").toUtf8());
    QDir().mkpath(home + "/Downloads");
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    // The offscreen platform says this at every size change of a window; it tells nothing.
    static const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
          if (message != "This plugin does not support propagateSizeHints()")
            previous(type, context, message);
        });
    static int argc = 1;
    static char name[] = "gui-test";
    static char* argv[] = {name, nullptr};
    auto* made = new QApplication(argc, argv);
    builder::set_data_root(home + "/data");
    return made;
  }();
  return *app;
}

// The download folder that the window's dialogs start in.
inline QString downloads() { return qpath(gui_home().path()) + "/Downloads"; }

// Answers the modal widgets that open from now on, one handler each, in order. Each handler
// must close its widget (accept, reject or a button click). Returns how many are still waiting.
class ModalAnswers {
 public:
  explicit ModalAnswers(std::deque<std::function<void(QWidget*)>> handlers)
      : handlers_(
            std::make_shared<std::deque<std::function<void(QWidget*)>>>(std::move(handlers))) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [handlers = handlers_] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || !modal->isVisible() || handlers->empty()) return;
      auto handler = std::move(handlers->front());
      handlers->pop_front();
      handler(modal);
    });
    timer_.start();
  }
  std::size_t waiting() const { return handlers_->size(); }

 private:
  std::shared_ptr<std::deque<std::function<void(QWidget*)>>> handlers_;
  QTimer timer_;
};

// Clicks the message box button with this text, or the standard button `which`.
inline void click(QWidget* modal, const QString& text) {
  auto* box = qobject_cast<QMessageBox*>(modal);
  ASSERT_NE(box, nullptr) << modal->metaObject()->className();
  for (QAbstractButton* button : box->buttons()) {
    if (button->text() == text) {
      button->click();
      return;
    }
  }
  ADD_FAILURE() << "no button " << text.toStdString();
  box->reject();
}
inline void click(QWidget* modal, QMessageBox::StandardButton which) {
  auto* box = qobject_cast<QMessageBox*>(modal);
  ASSERT_NE(box, nullptr) << modal->metaObject()->className();
  box->button(which)->click();
}

// Picks `path` in a file dialog; an empty path cancels it.
inline void pick(QWidget* modal, const QString& path) {
  auto* dialog = qobject_cast<QFileDialog*>(modal);
  ASSERT_NE(dialog, nullptr) << modal->metaObject()->className();
  if (path.isEmpty()) {
    dialog->reject();
    return;
  }
  // Qt's own dialog leaves the typed name alone while its name field has the focus, which it
  // gets or not depending on when the window system activates the dialog.
  if (QWidget* focused = dialog->focusWidget()) focused->clearFocus();
  dialog->selectFile(path);
  static_cast<QDialog*>(dialog)->accept();  // QFileDialog hides its override
}

// The application object on one offscreen screen of `width` x `height` named `name`, scaled by
// `scale` ("" leaves Qt's own). Call it instead of gui_app, before any other use of Qt.
inline QApplication& gui_app_on_screen(const std::string& name, int width, int height,
                                       const char* scale = "") {
  static TempDir config;
  // Qt reads the screen once, when the application starts: later calls change nothing.
  static const bool set = [&] {
    write_text(config / "screen.json",
               "{\"screens\": [{\"name\": \"" + name + "\", \"x\": 0, \"y\": 0, \"width\": " +
                   std::to_string(width) + ", \"height\": " + std::to_string(height) +
                   ", \"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1}]}");
    qputenv("QT_QPA_PLATFORM",
            ("offscreen:configfile=" + (config / "screen.json").string()).c_str());
    if (*scale) qputenv("QT_SCALE_FACTOR", scale);
    return true;
  }();
  (void)set;
  return gui_app();
}

// Runs the work a change left queued: posted events such as layout requests, and the
// zero-time timers they start (a deferred resize), which may queue more in turn. Rounds, not a
// time: each one finishes what the one before queued.
inline void settle() {
  for (int round = 0; round < 8; ++round) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
}

}  // namespace testing_support
