#include "dock/Tracklane.hpp"

void Tracklane::saveSourceState() {}
void Tracklane::loadSourceState(obs_source_t *source, bool force) {}
