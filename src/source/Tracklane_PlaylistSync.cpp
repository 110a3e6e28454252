#include "dock/Tracklane.hpp"

void Tracklane::loadTrack(const QString &trackId, bool switchScene) {}
void Tracklane::cancelPendingSwitch() {}
void Tracklane::restorePlaylist() {}
void Tracklane::checkExternalChange(obs_source_t *source) {}
void Tracklane::onMediaStopped(void *param, calldata_t *data) {}
