#include "kde/kconfigwatcher.hpp"

KConfigWatcher::KConfigWatcher(const KSharedConfigPtr& config, QObject* parent)
    : QObject(parent), config_(config) {}
