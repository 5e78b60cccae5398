// The main window's builds: start, progress, the result, cancelling, closing, and its size.
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include "builder/log_batch.hpp"
#include "builder/platform.hpp"
#include "builder/window.hpp"

namespace builder {

namespace {

const char kCancelling[] = "Cancelling…";

// A question box that Return cannot answer: Qt makes a button the default when a box is shown
// without one, so the defaults are taken away again once it is on screen.
class NoDefaultBox : public QMessageBox {
 public:
  using QMessageBox::QMessageBox;

 protected:
  void showEvent(QShowEvent* event) override {
    QMessageBox::showEvent(event);
    for (QAbstractButton* button : buttons()) {
      if (auto* push = qobject_cast<QPushButton*>(button)) {
        push->setAutoDefault(false);
        push->setDefault(false);
      }
    }
  }
};

}  // namespace

QString eta_text(qint64 eta) {
  if (eta < 0) return QString();
  if (eta < 60) return "less than a minute left";
  if (eta < 5400) return QString("about %1 min left").arg((eta + 30) / 60);
  // The minutes are rounded on their own; 7199 s reads "1 h 60 min".
  return QString("about %1 h %2 min left").arg(eta / 3600).arg((eta % 3600 + 30) / 60);
}

void Window::start(bool android, bool install, bool switch_) {
  if (game_index < 0 || job) return;
  if (!ask_extra()) return;

  Request request;
  request.apk = QFileInfo(apk_path).absoluteFilePath();
  request.game = games[game_index];
  request.android = android;
  request.switch_ = switch_;
  request.install = install;
  request.assets = assets;
  for (const QCheckBox* box : mod_boxes) {
    if (box->isChecked()) request.mods.append(box->property("mod").toString());
    if (box->isChecked() != box->property("default").toBool()) request.default_mods = false;
  }

  const Target target = target_of(request);
  if (!install) {
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (target == Target::Switch) {
      request.output = QFileDialog::getSaveFileName(
          this, "Save the Nintendo Switch homebrew",
          downloads + "/skarnbolt-" + request.game.id + ".nro", "Switch homebrew (*.nro)");
    } else if (target == Target::Windows) {
      request.output = QFileDialog::getExistingDirectory(
          this, "Choose where to save the game",
          QStandardPaths::writableLocation(QStandardPaths::HomeLocation),
          QFileDialog::ShowDirsOnly);
    } else {
      request.output = QFileDialog::getSaveFileName(this, "Save the Android package",
                                                    downloads + "/" + request.game.title + ".apk",
                                                    "Android packages (*.apk)");
    }
    if (request.output.isEmpty()) return;
  }

  play_possible = install && target == Target::Windows;
  job = new Job(std::move(request), this);
  connect(job, &Job::progress, this, &Window::on_progress);
  // A fresh batch per build: no late line of an earlier build can reach this one's view.
  log_batch = std::make_shared<LogBatch>();
  connect(
      job, &Job::log_line, job, [batch = log_batch](const QString& line) { batch->push(line); },
      Qt::DirectConnection);
  connect(job, &Job::finished, this, &Window::on_finished);

  log_view->clear();
  log_timer->start();
  message_label->hide();
  play_button->hide();
  folder_button->hide();
  progress_bar->setValue(0);
  status_label->setText("Starting");
  eta_label->clear();
  set_building(true);
  job->start();
}

void Window::on_progress(double fraction, const QString& status, qint64 eta) {
  progress_bar->setValue(static_cast<int>(1000 * fraction));
  status_label->setText(status);
  eta_label->setText(eta_text(eta));
}

void Window::take_log_lines() {
  const QStringList lines = log_batch ? log_batch->take() : QStringList();
  if (lines.isEmpty()) {
    if (!job) log_timer->stop();
    return;
  }
  // One paragraph per line; the view drops what lies beyond its block count in the same edit.
  log_view->appendPlainText(lines.join(QLatin1Char('\n')));
}

void Window::on_finished(bool ok, const QString& message, const QString& result_path) {
  if (job) job->deleteLater();
  job = nullptr;
  if (close_requested) {
    close();
    return;
  }
  set_building(false);
  last_result = result_path;
  progress_panel->setVisible(ok);
  if (ok) {
    progress_bar->setValue(1000);
    status_label->setText("Done");
    eta_label->clear();
    message_label->setText(message);
    message_label->show();
    play_button->setVisible(play_possible);
    folder_button->setVisible(!result_path.isEmpty());
  } else {
    message_label->setText(message);
    message_label->show();
    play_button->hide();
    folder_button->hide();
    details_button->show();
  }
  // Every line was sent before `finished`; what is left comes in now and on the next ticks.
  take_log_lines();
  update_cache_size();
  QApplication::alert(this, 0);
  fit();
}

void Window::set_building(bool building) {
  if (building) {
    progress_panel->show();
    cancel_button->show();
    cancel_button->setEnabled(true);
    build_button->setEnabled(false);
  } else {
    cancel_button->hide();
    cancel_button->setEnabled(false);
    build_button->setEnabled(game_index >= 0);
  }
  pages->setEnabled(!building);
  clear_button->setEnabled(!building);
  advanced_panel->setEnabled(!building);
  details_button->show();
  fit();
}

void Window::cancel_build() {
  if (job) job->cancel.exchange(true);
  cancel_button->setEnabled(false);
  status_label->setText(QString::fromUtf8(kCancelling));
}

void Window::closeEvent(QCloseEvent* event) {
  if (!job) {
    event->accept();
    return;
  }
  event->ignore();
  NoDefaultBox box(this);
  box.setIcon(QMessageBox::Question);
  box.setWindowTitle("Cancel the build?");
  box.setText("A build is running. Cancel it and quit?");
  box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
  const bool yes = box.exec() == QMessageBox::Yes;
  // The Job's signals keep arriving while the box is open: the build may have ended meanwhile.
  if (!job) {
    if (yes) event->accept();
    return;
  }
  if (!yes) return;
  close_requested = true;
  job->cancel.exchange(true);
  status_label->setText(QString::fromUtf8(kCancelling));
}

void Window::show_in_folder() {
  const QFileInfo info(last_result);
  const QString folder =
      info.isDir() && !last_result.endsWith(".app") ? last_result : info.absolutePath();
  QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

void Window::play() {
  if (game_index < 0) return;
  QProcess::startDetached(last_result + "/skarnbolt-" + games[game_index].id + platform::kExe, {},
                          last_result);
}

void Window::arrange_bottom(bool two_rows) {
  if (bottom_row->count() && two_rows == bottom_split) return;
  bottom_split = two_rows;
  for (QHBoxLayout* row : {upper_row, bottom_row}) {
    while (QLayoutItem* item = row->takeAt(0)) delete item;  // widgets stay, re-added below
  }
  QHBoxLayout* secondary = two_rows ? upper_row : bottom_row;
  for (QWidget* button :
       std::initializer_list<QWidget*>{about_button, clear_button, details_button})
    secondary->addWidget(button);
  secondary->addStretch();
  if (two_rows) bottom_row->addStretch();
  for (QWidget* button : std::initializer_list<QWidget*>{folder_button, play_button, build_button})
    bottom_row->addWidget(button);
}

int Window::one_row_width() const {
  const QMargins margins = layout()->contentsMargins();
  int width = margins.left() + margins.right();
  int shown = 0;
  for (const QWidget* button : std::initializer_list<const QWidget*>{
           about_button, clear_button, details_button, folder_button, play_button, build_button}) {
    if (button->isHidden()) continue;
    width += qMax(button->sizeHint().width(), button->minimumWidth());
    ++shown;
  }
  return width + qMax(0, shown - 1) * qMax(0, bottom_row->spacing());
}

void Window::fit() {
  // Before the layout settles: on a narrow screen (or at a large scale) the finished state's
  // buttons would otherwise widen the window past the screen's edge.
  arrange_bottom(one_row_width() > screen_space(this).width());
  layout()->activate();
  adjustSize();
  pin_size();
}

void Window::pin_size() {
  const QSize space = screen_space(this);
  arrange_bottom(one_row_width() > space.width());
  QLayout* box = layout();
  box->activate();
  const int min_width = qMax(kWindowMinWidth, box->totalMinimumSize().width());
  setMinimumWidth(min_width);
  // A row that split after the window grew leaves it wider than it needs and than the screen.
  if (width() > space.width() && width() > min_width)
    resize(qMax(min_width, space.width()), height());
  const int w = qMax(width(), min_width);
  const int h =
      box->hasHeightForWidth() ? box->totalHeightForWidth(w) : box->totalSizeHint().height();
  int min_height = h;
  int max_height = h;
  // Never taller than the screen: there the mods and the log give up height and scroll.
  const int room = screen_room(this);
  if (!log_view->isHidden()) {
    min_height = h - log_view->sizeHint().height() + kLogHeight;
    max_height = QWIDGETSIZE_MAX;
    // On a short screen the log takes what is left, down to a few lines.
    const int floor = 4 * log_view->fontMetrics().height();
    log_view->setMinimumHeight(
        qBound(qMin(floor, kLogHeight), kLogHeight - (min_height - room), kLogHeight));
  }
  min_height = qMin(min_height, room);
  max_height = qMin(max_height, room);
  if (min_height == minimumHeight() && max_height == maximumHeight()) return;
  setMinimumHeight(0);
  setMaximumHeight(QWIDGETSIZE_MAX);
  setMinimumHeight(min_height);
  setMaximumHeight(max_height);
}

bool Window::event(QEvent* event) {
  const bool result = QWidget::event(event);
  if (event->type() == QEvent::LayoutRequest) pin_size();
  return result;
}

void Window::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (event->size().width() != event->oldSize().width()) pin_size();
  if (width() < minimumWidth() || height() < minimumHeight() || height() > maximumHeight()) {
    QTimer::singleShot(0, this, [this] {
      resize(qMax(width(), minimumWidth()), qMin(qMax(height(), minimumHeight()), maximumHeight()));
    });
  }
}

}  // namespace builder
