#include "dock/Tracklane.hpp"

void Tracklane::addFilesFromDialog() {}
void Tracklane::appendTracks(const QStringList &paths) {}
