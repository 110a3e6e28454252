#include "dock/Tracklane.hpp"

void Tracklane::applyFilter() {}
void Tracklane::saveViewState() {}
void Tracklane::restoreViewState(const QString &uuid) {}
