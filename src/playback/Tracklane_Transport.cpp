#include "dock/Tracklane.hpp"

void Tracklane::togglePlayPause() {}
void Tracklane::playPrevious() {}
void Tracklane::playNext() {}
void Tracklane::stopPlayback() {}
void Tracklane::setEndModeFromCombo() {}
void Tracklane::handleEndOfTrack(int state, int currentIndex) {}
void Tracklane::finishTrackSwitch(qint64 generation) {}
void Tracklane::updateTransportControls() {}
