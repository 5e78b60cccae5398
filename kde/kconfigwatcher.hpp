// The configuration change watcher the Breeze style can connect to. The program never writes
// configuration, so nothing emits its signal.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>

#include "kde/kconfig.hpp"

class KConfigWatcher : public QObject {
  Q_OBJECT

 public:
  // A watcher of `config`.
  explicit KConfigWatcher(const KSharedConfigPtr& config, QObject* parent = nullptr);

 signals:
  // The keys `names` of `group` changed.
  void configChanged(const KConfigGroup& group, const QList<QByteArray>& names);

 private:
  KSharedConfigPtr config_;
};
