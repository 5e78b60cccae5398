#include "kde/kconfig.hpp"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTextStream>
#include <map>
#include <mutex>
#include <tuple>

namespace {

const QChar k_group_separator(0x1D);

// The files of a config, lowest priority first.
QStringList config_files(const QString& name, KConfig::OpenFlags flags,
                         QStandardPaths::StandardLocation location) {
  const QString file = name.isEmpty() ? QStringLiteral("kdeglobals") : name;
  if (file.startsWith(':') || QDir::isAbsolutePath(file)) return {file};
  QStringList files;
  auto append_reversed = [&files](const QStringList& found) {
    for (auto it = found.crbegin(); it != found.crend(); ++it) files << *it;
  };
  if ((flags & KConfig::IncludeGlobals) && file != QLatin1String("kdeglobals"))
    append_reversed(QStandardPaths::locateAll(QStandardPaths::GenericConfigLocation,
                                              QStringLiteral("kdeglobals")));
  const QStringList found = QStandardPaths::locateAll(location, file);
  if (flags & KConfig::CascadeConfig)
    append_reversed(found);
  else if (!found.isEmpty())
    files << found.first();
  return files;
}

// The group that a header line opens: bracketed parts joined, the rest ignored.
QString header_group(const QString& line) {
  QStringList parts;
  qsizetype pos = 0;
  while (pos < line.size() && line[pos] == '[') {
    const qsizetype end = line.indexOf(']', pos + 1);
    if (end < 0) break;
    parts << line.mid(pos + 1, end - pos - 1);
    pos = end + 1;
  }
  return parts.join(k_group_separator);
}

}  // namespace

KConfig::KConfig(const QString& name, OpenFlags flags, QStandardPaths::StandardLocation location)
    : name_(name), flags_(flags), location_(location) {
  reparseConfiguration();
}

KConfig::~KConfig() = default;

void KConfig::reparseConfiguration() {
  entries_.clear();
  for (const QString& path : config_files(name_, flags_, location_)) parse(path);
}

void KConfig::parse(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return;
  QTextStream in(&file);
  QString group = QStringLiteral("<default>");
  QString line;
  while (in.readLineInto(&line)) {
    line = line.trimmed();
    if (line.isEmpty() || line.startsWith('#')) continue;
    if (line.startsWith('[')) {
      group = header_group(line);
      entries_[group];
      continue;
    }
    const qsizetype equals = line.indexOf('=');
    if (equals <= 0) continue;
    QString key = line.left(equals).trimmed();
    const qsizetype bracket = key.indexOf('[');
    if (bracket >= 0) {
      // Localised keys belong to other languages; "[$e]" only marks a value for expansion,
      // which this reader never does.
      if (!key.endsWith(QLatin1String("[$e]"))) continue;
      key.truncate(bracket);
    }
    entries_[group][key] = line.mid(equals + 1).trimmed();
  }
}

KConfigGroup KConfig::group(const QString& name) const { return KConfigGroup(this, name); }

QString KConfig::name() const { return name_; }

bool KConfig::hasGroup(const QString& name) const { return entries_.contains(name); }

KSharedConfig::KSharedConfig(const QString& name, OpenFlags flags,
                             QStandardPaths::StandardLocation location)
    : KConfig(name, flags, location) {}

KSharedConfig::~KSharedConfig() = default;

KSharedConfig::Ptr KSharedConfig::openConfig(const QString& name, OpenFlags flags,
                                             QStandardPaths::StandardLocation location) {
  // Keyed on the three values themselves: a number packing location and flags together would
  // let an unknown flag bit collide with another location.
  using Key = std::tuple<QString, int, int>;
  static std::mutex mutex;
  static std::map<Key, Ptr> cache;
  // Held through the first parse, so that concurrent first requests parse once.
  std::lock_guard<std::mutex> lock(mutex);
  Ptr& slot = cache[Key(name, int(location), int(flags.toInt()))];
  if (!slot) slot = Ptr(new KSharedConfig(name, flags, location));
  return slot;
}

KConfigGroup::KConfigGroup(const KConfig* config, const QString& name)
    : config_(config), name_(name) {}

const QString* KConfigGroup::value(const char* key) const {
  if (!config_) return nullptr;
  const auto group = config_->entries_.constFind(name_);
  if (group == config_->entries_.cend()) return nullptr;
  const auto entry = group->constFind(QString::fromUtf8(key));
  return entry == group->cend() ? nullptr : &entry.value();
}

bool KConfigGroup::readEntry(const char* key, bool default_value) const {
  const QString* text = value(key);
  if (!text) return default_value;
  const QString word = text->toLower();
  if (word == "true" || word == "on" || word == "yes" || word == "1") return true;
  if (word == "false" || word == "off" || word == "no" || word == "0") return false;
  return default_value;
}

QColor KConfigGroup::readEntry(const char* key, const QColor& default_value) const {
  const QString* text = value(key);
  if (!text || text->isEmpty()) return default_value;
  if (text->startsWith('#')) return QColor::fromString(*text);
  const QStringList parts = text->split(',');
  if (parts.size() < 3) return default_value;
  // toInt gives 0 for text that is no number or does not fit, as wanted.
  const int red = parts[0].trimmed().toInt();
  const int green = parts[1].trimmed().toInt();
  const int blue = parts[2].trimmed().toInt();
  const int alpha = parts.size() > 3 ? parts[3].trimmed().toInt() : 255;
  for (int component : {red, green, blue, alpha}) {
    if (component < 0 || component > 255) return default_value;
  }
  return QColor(red, green, blue, alpha);
}
