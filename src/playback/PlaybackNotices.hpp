#pragma once

#include <QObject>

// What the dock tells capabilities that follow its playback (what the audience is shown, for
// instance), on the UI thread. A member of the dock rather than signals of its own, so the
// dock's meta-object keeps the two signals the host connects to.
class PlaybackNotices : public QObject {
	Q_OBJECT

public:
	PlaybackNotices() = default;

Q_SIGNALS:
	// The source has begun a track the dock loaded (a repeat too, a resume not): once for every
	// start the dock counts. The source may still be opening it.
	void trackStarted();
	// Playback stopped: the dock's Stop, the end of the list, the current track removed, or a stop
	// from outside the dock (OBS's own media controls, a remote client, a script). The dock's own
	// stop may be told twice, once as it asks and once as the source has stopped.
	void playbackStopped();
};
