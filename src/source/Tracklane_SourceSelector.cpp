#include "dock/Tracklane.hpp"

void Tracklane::refreshSourceSelector() {}
void Tracklane::onSourceSelected(int index) {}
void Tracklane::onRefreshClicked() {}
