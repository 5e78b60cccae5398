// A small read-only reader of KDE-style INI configuration files (kdeglobals, breezerc, kwinrc,
// colour schemes), on disk or compiled in as resources, under KDE's configuration class names.
#pragma once

#include <QColor>
#include <QExplicitlySharedDataPointer>
#include <QFlags>
#include <QHash>
#include <QMetaType>
#include <QSharedData>
#include <QStandardPaths>
#include <QString>

class KConfigGroup;

class KConfig {
 public:
  enum OpenFlag {
    SimpleConfig = 0x00,
    IncludeGlobals = 0x01,  // also read the files named "kdeglobals"
    CascadeConfig = 0x02,   // read every file of the name in the standard locations
    FullConfig = IncludeGlobals | CascadeConfig,
  };
  using OpenFlags = QFlags<OpenFlag>;

  // An uncached config; its files are read at once.
  explicit KConfig(
      const QString& name = QString(), OpenFlags flags = FullConfig,
      QStandardPaths::StandardLocation location = QStandardPaths::GenericConfigLocation);
  virtual ~KConfig();
  KConfig(const KConfig&) = delete;
  KConfig& operator=(const KConfig&) = delete;

  // Drops everything read and reads the configuration files again.
  void reparseConfiguration();
  // Merges one file into the content; a file that cannot be opened adds nothing.
  void parse(const QString& path);
  // The group of that name in this config (it need not exist).
  KConfigGroup group(const QString& name) const;
  // The name exactly as passed to the constructor, possibly empty.
  QString name() const;
  // Whether a header line named the group, even one without keys.
  bool hasGroup(const QString& name) const;

 private:
  friend class KConfigGroup;

  QHash<QString, QHash<QString, QString>> entries_;  // group -> key -> value
  QString name_;
  OpenFlags flags_;
  QStandardPaths::StandardLocation location_;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(KConfig::OpenFlags)

class KSharedConfig : public KConfig, public QSharedData {
 public:
  using Ptr = QExplicitlySharedDataPointer<KSharedConfig>;

  // The process-wide config for exactly (name, flags, location), read on its first request and
  // kept until exit. Safe from any thread.
  static Ptr openConfig(
      const QString& name = QString(), OpenFlags flags = FullConfig,
      QStandardPaths::StandardLocation location = QStandardPaths::GenericConfigLocation);
  ~KSharedConfig() override;

 private:
  KSharedConfig(const QString& name, OpenFlags flags, QStandardPaths::StandardLocation location);
};

using KSharedConfigPtr = KSharedConfig::Ptr;

// A named group of a config. It neither owns nor keeps alive the config it points to.
class KConfigGroup {
 public:
  KConfigGroup() = default;
  // The group `name` of `config`; a null config gives an invalid group.
  KConfigGroup(const KConfig* config, const QString& name);

  // The stored text of `key` (UTF-8), or null when there is no config, group or key. Valid
  // until the config is re-parsed or destroyed.
  const QString* value(const char* key) const;
  // The value as a truth value (true/on/yes/1, false/off/no/0, any case), else `default_value`.
  bool readEntry(const char* key, bool default_value) const;
  // The value as "#rrggbb"-style or "r,g,b[,a]" colour, else `default_value`; a '#' value that
  // names no colour gives an invalid colour.
  QColor readEntry(const char* key, const QColor& default_value) const;

 private:
  const KConfig* config_ = nullptr;
  QString name_;
};

Q_DECLARE_METATYPE(KConfigGroup)
