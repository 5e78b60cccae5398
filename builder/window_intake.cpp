// The main window's intake: drag and drop, the APK dialog, the game page, mods, extra data.
#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "builder/apk_match.hpp"
#include "builder/paths.hpp"
#include "builder/window.hpp"

namespace builder {

namespace {

// The local path of the first URL that names a local ".apk" file, in any letter case.
QString first_apk(const QMimeData* data) {
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile() && url.toLocalFile().endsWith(".apk", Qt::CaseInsensitive))
      return url.toLocalFile();
  }
  return QString();
}

}  // namespace

void Window::dragEnterEvent(QDragEnterEvent* event) {
  if (job || !event->mimeData()->hasUrls()) return;
  if (first_apk(event->mimeData()).isEmpty()) return;
  event->acceptProposedAction();
  drop_area->hover = true;
  drop_area->update();
}

void Window::dropEvent(QDropEvent* event) {
  drop_area->hover = false;
  drop_area->update();
  const QString path = first_apk(event->mimeData());
  if (!path.isEmpty()) open_apk(path);
}

void Window::choose_apk() {
  if (job) return;
  const QString path = QFileDialog::getOpenFileName(
      this, "Choose a game's APK",
      QStandardPaths::writableLocation(QStandardPaths::DownloadLocation),
      "Android packages (*.apk)");
  if (!path.isEmpty()) open_apk(path);
}

void Window::open_apk(const QString& path) {
  game_index = -1;
  apk_path.clear();
  assets.clear();
  extra_asked = false;
  build_button->setEnabled(false);
  advanced_button->hide();
  advanced_panel->hide();
  advanced_button->setChecked(false);
  play_button->hide();
  folder_button->hide();
  progress_panel->hide();

  QString error;
  const std::optional<Game> game = identify_apk(path, games, error);
  if (!game) {
    pages->setCurrentIndex(0);
    message_label->setText(error);
    message_label->show();
    fit();
    return;
  }
  for (qsizetype i = 0; i < games.size(); ++i) {
    if (games[i].id == game->id) game_index = static_cast<int>(i);
  }
  apk_path = path;

  QPixmap icon;
  icon.loadFromData(apk_icon(path), "PNG");
  icon_label->setPixmap(icon);
  title_label->setText(game->title);
  title_label->setToolTip(QDir::toNativeSeparators(path));
  info_label->setText("Version " + game->version);
  info_label->setToolTip(QString());
  pages->setCurrentIndex(1);
  message_label->hide();

  // The layout holds the boxes and their description labels; both go with their items.
  mod_boxes.clear();
  while (QLayoutItem* item = mods_layout->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  QWidget* container = mods_scroll->widget();
  for (const Mod& mod : load_mods(source_dir(), game->id)) {
    auto* box = new QCheckBox(mod.name, container);
    box->setChecked(mod.enabled);
    box->setProperty("default", mod.enabled);
    box->setToolTip(mod.description);
    box->setProperty("mod", mod.name);
    mods_layout->addWidget(box);
    mod_boxes.append(box);
    QLabel* description = small_label(mod.description, container);
    description->setContentsMargins(24, 0, 0, 4);
    mods_layout->addWidget(description);
  }
  container->adjustSize();
  // At most 260 pixels, and as little as one row where the screen is short: the list scrolls.
  const int mods_height = qMin(container->sizeHint().height(), 260);
  mods_scroll->setMaximumHeight(mods_height);
  mods_scroll->setMinimumHeight(qMin(mods_height, 2 * fontMetrics().height()));

  advanced_button->show();
  build_button->setEnabled(true);
  build_button->setFocus();
  fit();
}

bool Window::ask_extra() {
  const Game& game = games[game_index];
  if (game.id != "starwars2" || extra_asked) return true;

  const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
  QMessageBox box(QMessageBox::Question, "Add extra data?",
                  "Do you have the game's extra data (the <i>assets_service</i> folder)? Add it "
                  "as a ZIP file or folder.<br><br>Without it, there is no music and some "
                  "backgrounds are simplified.",
                  QMessageBox::NoButton, this);
  box.setTextFormat(Qt::RichText);
  QPushButton* zip = box.addButton(QString::fromUtf8("Choose ZIP…"), QMessageBox::AcceptRole);
  QPushButton* folder = box.addButton(QString::fromUtf8("Choose folder…"), QMessageBox::AcceptRole);
  QPushButton* without = box.addButton("Build without", QMessageBox::DestructiveRole);
  box.addButton(QMessageBox::Cancel);
  box.setDefaultButton(zip);

  QString answer;
  for (;;) {
    box.exec();
    answer.clear();
    const QAbstractButton* clicked = box.clickedButton();
    if (clicked == zip) {
      answer = QFileDialog::getOpenFileName(this, "Choose the extra data", downloads,
                                            "ZIP archives (*.zip)");
    } else if (clicked == folder) {
      answer = QFileDialog::getExistingDirectory(this, "Choose the extra data folder", downloads,
                                                 QFileDialog::ShowDirsOnly);
    } else if (clicked == without) {
      break;
    } else {
      return false;
    }
    if (!answer.isEmpty()) break;
  }

  assets = answer.isEmpty() ? QString() : QFileInfo(answer).absoluteFilePath();
  extra_asked = true;
  info_label->setText("Version " + game.version +
                      (assets.isEmpty() ? QString(", without extra data")
                                        : ", extra data: " + QFileInfo(assets).fileName()));
  info_label->setToolTip(QDir::toNativeSeparators(assets));
  return true;
}

}  // namespace builder
