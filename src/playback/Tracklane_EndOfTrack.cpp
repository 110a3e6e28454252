#include "dock/Tracklane.hpp"
#include "module/plugin-main.hpp"

#include <obs.hpp>

#include <algorithm>

// The media source hands its audio to OBS about a second before it is heard, so ENDED comes while
// the end of the track is still to be heard; loading another item then drops that buffered tail.
// The end mode therefore waits until the source's audio in the mix has run out, for at most this
// long. A stop would keep the tail, but the dock would tell of the end a second early, and a
// start at that moment (the operator's, or a script's that follows the dock) would cut it: stop
// waits as well. The tail is VLC's lead (about a second) plus OBS's own audio buffering, which may
// grow to about a second (45 passes of 1 024 frames); the bound leaves room above both.
static constexpr qint64 EndHandOverWaitMs = 3000;

// libobs holds a source's audio back by its sync offset, which Advanced Audio Properties allow to
// be seconds long; the tail is that much later, and the bound gives it that much longer.
qint64 Tracklane::endHandOverBoundMs() const
{
	qint64 bound = EndHandOverWaitMs;
	if (OBSSourceAutoRelease source = resolveBoundSource()) {
		bound += std::max<int64_t>(obs_source_get_sync_offset(source), 0) / 1000000;
	}
	return bound;
}

bool Tracklane::endOfTrackStillAudible() const
{
	OBSSourceAutoRelease source = resolveBoundSource();
	if (!source)
		return false;
	// A source outside the output mix is not heard; one whose mix buffer ran dry has been heard.
	// The dry flag counts only once the mix has looked at the buffer since the end was seen: a
	// short track may hand over the last of its audio in the same moment it ends, and until the
	// next pass the flag still tells of the silence before it.
	const bool audible = obs_source_active(source) &&
			     (!obs_source_audio_pending(source) || !mixPasses.mixedTwiceSince(endSeenAtMixPass));
	return audible;
}

void Tracklane::runEndMode(int currentIndex)
{
	if (endMode == 2) {
		loadTrack(currentTrackId, false);
	} else if (endMode == 1 && currentIndex + 1 < tracks.size()) {
		loadTrack(tracks[currentIndex + 1].id, false);
	} else {
		stopSource(false);
	}
}

void Tracklane::handleEndOfTrack(int state, int currentIndex)
{
	if (!managed || currentIndex < 0) {
		endHandOverDue = false;
		return;
	}

	if (endHandOverDue) {
		// Anything but the ended track (the operator or the source's own controls) cancels it.
		if (state != OBS_MEDIA_STATE_ENDED) {
			endHandOverDue = false;
		} else if (!endOfTrackStillAudible() || endHandOverTimer.elapsed() >= endHandOverBoundMs()) {
			endHandOverDue = false;
			runEndMode(currentIndex);
			return;
		} else {
			endHandOverCheck.start();
			return;
		}
	}

	switch (state) {
	case OBS_MEDIA_STATE_PLAYING:
		// The poll does not look while a switch is pending, and the source confirmed the stop
		// before the switch completed: whatever plays now is the track that was loaded.
		playbackArmed = true;
		trackPlayed = true;
		break;
	case OBS_MEDIA_STATE_STOPPED:
	case OBS_MEDIA_STATE_ERROR:
		playbackArmed = false;
		trackPlayed = false;
		break;
	case OBS_MEDIA_STATE_ENDED: {
		if (!playbackArmed)
			break;
		playbackArmed = false;
		// The source reports a start when it begins to open a file; one it cannot open then ends at
		// once, never seen playing, with no time and no length. Firing then would skip it, or
		// reload it for ever in repeat. Any one of the three tells of a track that played: a stream
		// may play to its end without a length, and a track shorter than a poll may end before a
		// poll sees it playing or the source has moved its time on.
		OBSSourceAutoRelease source = resolveBoundSource();
		const bool played = trackPlayed || (source && (obs_source_media_get_time(source) > 0 ||
							       obs_source_media_get_duration(source) > 0));
		// Dropped before the end mode runs, which may load the next track or tell of a stop.
		source = nullptr;
		trackPlayed = false;
		if (!played) {
			showMessage(moduleQString("CannotPlay").arg(tracks[currentIndex].path, 0, QLatin1Char(' ')));
			break;
		}
		mixPasses.start();
		endSeenAtMixPass = mixPasses.now();
		if (endOfTrackStillAudible()) {
			endHandOverDue = true;
			endHandOverTimer.restart();
			endHandOverCheck.start();
			break;
		}
		runEndMode(currentIndex);
		break;
	}
	default:
		break;
	}
}

// A short track can open, play and end between two polls; the source's own start signal arms
// the end mode for it, and its end signal applies the end mode without waiting for a poll. Either
// signal from before the current switch carries an older generation.
void Tracklane::noteTrackStarted(qint64 generation)
{
	if (quint64(generation) != switchGeneration || trackSwitchPending || suspended || closing)
		return;
	playbackArmed = true;
	lastPlayingTimeMs = 0;
	lastPlayingClock.restart();
	++trackStarts;
	Q_EMIT notices.trackStarted();
}

void Tracklane::noteTrackEnded(qint64 generation)
{
	if (quint64(generation) != switchGeneration)
		return;
	evaluateEndOfTrack();
}

// The tail of an ended track runs out at no poll's pace; looking again every few milliseconds
// makes the gap on air the one the source itself needs.
void Tracklane::checkEndHandOver()
{
	if (endHandOverDue)
		evaluateEndOfTrack();
}

// The source has ended, but the end-of-track hand-over waits because its tail is still heard.
bool Tracklane::tailStillHeard(int state) const
{
	return endHandOverDue && state == OBS_MEDIA_STATE_ENDED;
}

void Tracklane::evaluateEndOfTrack()
{
	if (suspended || closing || trackSwitchPending)
		return;
	OBSSourceAutoRelease source = resolveBoundSource();
	if (!source) {
		endHandOverDue = false;
		return;
	}
	const int state = int(obs_source_media_get_state(source));
	// Dropped before the end mode runs, which may load the next track or tell of a stop.
	source = nullptr;
	const bool wasDue = endHandOverDue;
	handleEndOfTrack(state, currentTrackIndex());
	if (wasDue != endHandOverDue)
		updateTransportControls();
}
