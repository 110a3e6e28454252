#include "dock/Tracklane.hpp"

void Tracklane::rebuildTrackList(const QString &selectId) {}
void Tracklane::syncTracksFromList() {}
QString Tracklane::selectedTrackId() const { return {}; }
int Tracklane::currentTrackIndex() const { return -1; }
void Tracklane::markCurrentTrack(const QString &trackId, const QString &previousId) {}
