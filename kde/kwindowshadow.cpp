#include "kde/kwindowshadow.hpp"

KWindowShadow::KWindowShadow(QObject* parent) : QObject(parent) {}
