// The main window's widget tree, its build menu and its connections.
#include "builder/window.hpp"

#include <QCheckBox>
#include <QDir>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "builder/log_batch.hpp"
#include "builder/paths.hpp"

namespace builder {

namespace {

// A font of `label`'s family scaled by `factor`, bold.
QFont heading_font(const QLabel* label, double factor) {
  QFont font = scaled_font(label->font(), factor);
  font.setWeight(QFont::Bold);
  return font;
}

}  // namespace

QFont scaled_font(QFont font, double factor) {
  if (font.pointSizeF() > 0)
    font.setPointSizeF(font.pointSizeF() * factor);
  else
    font.setPixelSize(qMax(1, qRound(font.pixelSize() * factor)));
  return font;
}

QSize screen_space(const QWidget* window) {
  const QScreen* screen = window->screen();
  if (!screen) return QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  const QSize frame = window->frameGeometry().size() - window->geometry().size();
  return (screen->availableGeometry().size() - frame).expandedTo(QSize(0, 0));
}

int screen_room(const QWidget* window) { return screen_space(window).height(); }

QLabel* small_label(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setFont(scaled_font(label->font(), 0.9));
  label->setWordWrap(true);
  label->setForegroundRole(QPalette::PlaceholderText);
  return label;
}

Window::Window() {
  games = load_games(source_dir());
  setWindowTitle("Skarnbolt Builder");
  setAcceptDrops(true);
  setMinimumWidth(kWindowMinWidth);

  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(22, 20, 22, 18);
  root->setSpacing(14);

  auto* header = new QHBoxLayout;
  auto* logo = new QLabel(this);
  logo->setPixmap(QIcon(":/builder.svg").pixmap(40, 40));
  header->addWidget(logo);
  auto* titles = new QVBoxLayout;
  titles->setSpacing(0);
  auto* name = new QLabel("Skarnbolt Builder", this);
  name->setFont(heading_font(name, 1.4));
  titles->addWidget(name);
  titles->addWidget(
      small_label("Turns a supported game's APK into a game for this computer.", this));
  header->addLayout(titles, 1);
  root->addLayout(header);

  pages = new QStackedWidget(this);
  drop_area = new DropArea(pages);
  drop_area->setCursor(Qt::PointingHandCursor);
  drop_area->setMinimumHeight(150);
  drop_area->setAccessibleName("Choose an APK");
  drop_area->setFocusPolicy(Qt::StrongFocus);
  drop_area->on_click = [this] { choose_apk(); };
  pages->addWidget(drop_area);

  auto* game_page = new QWidget(pages);
  auto* game_row = new QHBoxLayout(game_page);
  game_row->setContentsMargins(12, 12, 12, 12);
  game_row->setSpacing(14);
  icon_label = new QLabel(game_page);
  icon_label->setFixedSize(72, 72);
  icon_label->setScaledContents(true);
  game_row->addWidget(icon_label);
  auto* game_text = new QVBoxLayout;
  game_text->setSpacing(2);
  game_text->addStretch();
  title_label = new QLabel(game_page);
  title_label->setFont(heading_font(title_label, 1.25));
  game_text->addWidget(title_label);
  info_label = small_label(QString(), game_page);
  game_text->addWidget(info_label);
  auto* another = new QPushButton(QString::fromUtf8("Choose another APK…"), game_page);
  another->setFlat(true);
  another->setCursor(Qt::PointingHandCursor);
  // Link-coloured only while enabled: a disabled button keeps the palette's disabled text.
  another->setStyleSheet(
      "QPushButton { text-align: left; padding: 0; } "
      "QPushButton:enabled { color: palette(link); }");
  connect(another, &QPushButton::clicked, this, [this] { choose_apk(); });
  game_text->addWidget(another, 0, Qt::AlignLeft);
  game_text->addStretch();
  game_row->addLayout(game_text, 1);
  game_page->setMinimumHeight(150);
  game_page->setAutoFillBackground(true);
  game_page->setBackgroundRole(QPalette::Base);
  pages->addWidget(game_page);
  root->addWidget(pages);

  message_label = new QLabel(this);
  message_label->setWordWrap(true);
  message_label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  message_label->hide();
  root->addWidget(message_label);

  advanced_button = new QToolButton(this);
  advanced_button->setText("Advanced");
  advanced_button->setCheckable(true);
  advanced_button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  advanced_button->setArrowType(Qt::RightArrow);
  advanced_button->setAutoRaise(true);
  advanced_button->hide();
  root->addWidget(advanced_button, 0, Qt::AlignLeft);

  advanced_panel = new QWidget(this);
  advanced_panel->hide();
  auto* advanced = new QVBoxLayout(advanced_panel);
  advanced->setContentsMargins(8, 0, 0, 0);
  advanced->addWidget(new QLabel("<b>Mods</b>", advanced_panel));
  mods_scroll = new QScrollArea(advanced_panel);
  mods_scroll->setFrameShape(QFrame::NoFrame);
  mods_scroll->setWidgetResizable(true);
  mods_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* mods_container = new QWidget;
  mods_layout = new QVBoxLayout(mods_container);
  mods_layout->setContentsMargins(0, 0, 0, 0);
  mods_layout->setSpacing(6);
  mods_scroll->setWidget(mods_container);
  advanced->addWidget(mods_scroll);
  advanced->addWidget(small_label(
      QString::fromUtf8("<b>Android:</b> “Build for Android” installs the game with adb on a "
                        "phone or tablet connected by USB with USB debugging turned on. Without a "
                        "device, the APK is saved to your Downloads folder."),
      advanced_panel));
  advanced->addWidget(small_label(
      "<b>Nintendo Switch:</b> needs a console that runs homebrew. Copy the .nro file into the "
      "folder switch on the SD card and start it from the Homebrew Menu.",
      advanced_panel));
  root->addWidget(advanced_panel);

  progress_panel = new QWidget(this);
  progress_panel->hide();
  auto* progress = new QVBoxLayout(progress_panel);
  progress->setContentsMargins(0, 0, 0, 0);
  auto* bar_row = new QHBoxLayout;
  progress_bar = new QProgressBar(progress_panel);
  progress_bar->setRange(0, 1000);
  progress_bar->setFormat("%p %");
  progress_bar->setTextVisible(true);
  bar_row->addWidget(progress_bar, 1);
  cancel_button = new QPushButton("Cancel", progress_panel);
  bar_row->addWidget(cancel_button);
  progress->addLayout(bar_row);
  auto* status_row = new QHBoxLayout;
  status_label = small_label(QString(), progress_panel);
  status_row->addWidget(status_label, 1);
  eta_label = small_label(QString(), progress_panel);
  eta_label->setAlignment(Qt::AlignRight);
  // One line with room for the longest time-left text: a text that wrapped, or a row that
  // grew with it, would make the window jump each time the text changes.
  eta_label->setWordWrap(false);
  int widest = 0;
  for (qint64 eta : {0, 5399, 99 * 3600 + 3599}) {
    eta_label->setText(eta_text(eta));
    widest = qMax(widest, eta_label->sizeHint().width());
  }
  eta_label->clear();
  eta_label->setMinimumWidth(widest);
  status_row->addWidget(eta_label);
  progress->addLayout(status_row);
  root->addWidget(progress_panel);

  log_view = new QPlainTextEdit(this);
  log_view->setReadOnly(true);
  log_view->setMaximumBlockCount(kLogBlocks);
  log_timer = new QTimer(this);
  log_timer->setInterval(kLogInterval);
  connect(log_timer, &QTimer::timeout, this, [this] { take_log_lines(); });
  log_view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  log_view->setMinimumHeight(kLogHeight);
  log_view->hide();
  root->addWidget(log_view, 1);

  about_button = new QPushButton("About", this);
  about_button->setFlat(true);
  connect(about_button, &QPushButton::clicked, this, [this] { show_about(); });
  clear_button = new QPushButton("Clear cache", this);
  clear_button->setFlat(true);
  connect(clear_button, &QPushButton::clicked, this, [this] { clear_cache(); });
  details_button = new QPushButton("Show details", this);
  details_button->setFlat(true);
  details_button->hide();
  folder_button = new QPushButton("Show in folder", this);
  folder_button->hide();
  play_button = new QPushButton("Play", this);
  play_button->hide();

  build_button = new QToolButton(this);
  build_button->setToolButtonStyle(Qt::ToolButtonTextOnly);
  build_button->setText("Build && Install");
  build_button->setPopupMode(QToolButton::MenuButtonPopup);
  build_button->setEnabled(false);
  build_button->setMinimumWidth(150);
  build_button->setMinimumHeight(play_button->sizeHint().height());
  auto* menu = new QMenu(build_button);
  connect(menu->addAction(QString::fromUtf8("Build only (save the game to a folder)…")),
          &QAction::triggered, this, [this] { start(false, false, false); });
  menu->addSeparator();
  connect(menu->addAction("Build for Android (install on a connected device)"), &QAction::triggered,
          this, [this] { start(true, true, false); });
  connect(menu->addAction(QString::fromUtf8("Build Android APK only…")), &QAction::triggered, this,
          [this] { start(true, false, false); });
  menu->addSeparator();
  connect(menu->addAction(QString::fromUtf8("Build for Nintendo Switch (homebrew)…")),
          &QAction::triggered, this, [this] { start(false, false, true); });
  build_button->setMenu(menu);
  connect(build_button, &QToolButton::clicked, this, [this] { start(false, true, false); });
  upper_row = new QHBoxLayout;
  root->addLayout(upper_row);
  bottom_row = new QHBoxLayout;
  root->addLayout(bottom_row);
  arrange_bottom(false);

  connect(advanced_button, &QToolButton::toggled, this, [this](bool on) {
    advanced_button->setArrowType(on ? Qt::DownArrow : Qt::RightArrow);
    advanced_panel->setVisible(on);
    fit();
  });
  connect(cancel_button, &QPushButton::clicked, this, [this] { cancel_build(); });
  connect(details_button, &QPushButton::clicked, this, [this] {
    // isHidden, not isVisible: the answer must not depend on the window being on screen.
    log_view->setVisible(log_view->isHidden());
    details_button->setText(log_view->isHidden() ? "Show details" : "Hide details");
    fit();
  });
  connect(folder_button, &QPushButton::clicked, this, [this] { show_in_folder(); });
  connect(play_button, &QPushButton::clicked, this, [this] { play(); });

  update_cache_size();
  if (games.isEmpty()) {
    message_label->setText("The game sources are missing next to the builder: " +
                           QDir::toNativeSeparators(source_dir()));
    message_label->show();
  }
}

}  // namespace builder
