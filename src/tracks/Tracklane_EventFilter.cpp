#include "dock/Tracklane.hpp"

bool Tracklane::eventFilter(QObject *watched, QEvent *event) { return QObject::eventFilter(watched, event); }
bool Tracklane::showSizeTooltip(QEvent *event) { return false; }
bool Tracklane::handleExternalDrag(QEvent *event) { return false; }
