#include "dock/Tracklane.hpp"

void Tracklane::showTrackContextMenu(const QPoint &pos) {}
void Tracklane::moveCurrentTrack(int offset) {}
void Tracklane::removeSelectedTracks() {}
void Tracklane::undoLastRemoval() {}
void Tracklane::locateCurrentTrack() {}
void Tracklane::openTrackFolder() {}
void Tracklane::focusSearch() {}
