// The main window: APK intake, mods, builds with progress, the cache and the about box.
#pragma once

#include <QFont>
#include <QList>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

#include "builder/catalog.hpp"
#include "builder/job.hpp"

class QCheckBox;
class QHBoxLayout;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QStackedWidget;
class QTimer;
class QToolButton;
class QVBoxLayout;

namespace builder {

class LogBatch;

// The window's least width.
const int kWindowMinWidth = 520;
// The log view's least height where the screen has room.
const int kLogHeight = 160;

// The dashed box of the drop page; a click, Return or Space runs `on_click`.
class DropArea : public QWidget {
 public:
  using QWidget::QWidget;

  std::function<void()> on_click;
  bool hover = false;

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
};

class Window : public QWidget {
  Q_OBJECT

 public:
  // Builds the whole widget tree with no APK open; start-up shows it.
  Window();

  // Starts a build for this computer, Android or the Switch; may ask for a file first.
  void start(bool android, bool install, bool switch_);
  // The Job's last signal: shows the result, or closes the window when that was asked.
  void on_finished(bool ok, const QString& message, const QString& result_path);
  // Switches the enabled and visible widgets between building and not building.
  void set_building(bool building);
  // Lays the window out again at its natural size.
  void fit();
  // Fixes the height to the content, or lets it grow while the log is shown.
  void pin_size();

  // Identifies the APK and shows its game page, or the reason why not.
  void open_apk(const QString& path);
  // Asks for an APK with a file dialog and opens it; nothing while a build runs.
  void choose_apk();
  // Asks once per APK for the extra data of starwars2; false when the build must not start.
  bool ask_extra();
  // Measures the cache on a thread of its own; the size arrives on clear_button later.
  void update_cache_size();
  // Asks, then removes the cache and the older cache folders; nothing while a build runs.
  void clear_cache();
  // The modal about box.
  void show_about();

  QList<Game> games;
  QString apk_path;
  int game_index = -1;
  QString assets;
  bool extra_asked = false;
  QPointer<Job> job;
  QString last_result;
  bool play_possible = false;
  bool close_requested = false;

  QStackedWidget* pages = nullptr;
  DropArea* drop_area = nullptr;
  QLabel* icon_label = nullptr;
  QLabel* title_label = nullptr;
  QLabel* info_label = nullptr;
  QLabel* message_label = nullptr;
  QToolButton* advanced_button = nullptr;
  QWidget* advanced_panel = nullptr;
  QVBoxLayout* mods_layout = nullptr;
  QScrollArea* mods_scroll = nullptr;
  QList<QCheckBox*> mod_boxes;
  QWidget* progress_panel = nullptr;
  QProgressBar* progress_bar = nullptr;
  QLabel* status_label = nullptr;
  QLabel* eta_label = nullptr;
  QPushButton* cancel_button = nullptr;
  QPushButton* play_button = nullptr;
  QPushButton* folder_button = nullptr;
  QPushButton* clear_button = nullptr;
  QPushButton* details_button = nullptr;
  QToolButton* build_button = nullptr;
  QPlainTextEdit* log_view = nullptr;

 protected:
  bool event(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void on_progress(double fraction, const QString& status, qint64 eta);
  // Appends the log lines gathered since the last call to the log view, in one edit.
  void take_log_lines();
  void cancel_build();
  void show_in_folder();
  void play();
  // Puts About, Clear cache and Show details on a row of their own above the other buttons
  // when `two_rows` is set, else all of them on one row.
  void arrange_bottom(bool two_rows);
  // The width of the window with every shown button of the bottom area on one row.
  int one_row_width() const;

  // The running build's log lines, gathered on its thread; `log_timer` takes them.
  std::shared_ptr<LogBatch> log_batch;
  QTimer* log_timer = nullptr;

  QPushButton* about_button = nullptr;
  QHBoxLayout* upper_row = nullptr;
  QHBoxLayout* bottom_row = nullptr;
  bool bottom_split = false;
};

// `font` at `factor` times its size: its point size, or its pixel size when it was given in
// pixels (a user's KDE font may be).
QFont scaled_font(QFont font, double factor);

// A secondary text: 0.9 times the point size, word-wrapped, in the placeholder colour.
QLabel* small_label(const QString& text, QWidget* parent);

// The size that `window` may take on its screen: the available area less its frame.
QSize screen_space(const QWidget* window);
// The height of `screen_space`.
int screen_room(const QWidget* window);

// The time-left text for `eta` seconds; empty below 0.
QString eta_text(qint64 eta);

}  // namespace builder
