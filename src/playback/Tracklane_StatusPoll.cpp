#include "dock/Tracklane.hpp"
#include "module/plugin-main.hpp"
#include "playback/SeekSlider.hpp"

#include <QLabel>

#include <algorithm>

static const char *statusKey(int state)
{
	switch (state) {
	case OBS_MEDIA_STATE_PLAYING:
		return "StatusPlaying";
	case OBS_MEDIA_STATE_OPENING:
	case OBS_MEDIA_STATE_BUFFERING:
		return "StatusLoading";
	case OBS_MEDIA_STATE_PAUSED:
		return "StatusPaused";
	case OBS_MEDIA_STATE_ENDED:
		return "StatusEnded";
	case OBS_MEDIA_STATE_ERROR:
		return "StatusError";
	default:
		return "StatusStopped";
	}
}

void Tracklane::pollTick()
{
	if (suspended || closing)
		return;

	++pollTickCount;
	const bool slowTick = pollTickCount % 4 == 0;
	if (slowTick)
		refreshSourceSelector();

	OBSSourceAutoRelease source = resolveBoundSource();
	if (!source)
		return;

	if (trackSwitchPending) {
		updateTransportControls();
		return;
	}

	if (slowTick)
		checkExternalChange(source);

	const int state = int(obs_source_media_get_state(source));
	const qint64 duration = std::max<int64_t>(obs_source_media_get_duration(source), 0);
	qint64 time = std::max<int64_t>(obs_source_media_get_time(source), 0);
	if (state == OBS_MEDIA_STATE_PLAYING) {
		lastPlayingTimeMs = time;
		lastPlayingClock.restart();
	}
	// The source has ended but its tail is still heard: the dock shows it playing on to its end.
	const bool tailSounding = tailStillHeard(state);
	if (tailSounding) {
		if (duration > 0)
			durationMs = duration;
		const qint64 since = lastPlayingClock.isValid() ? lastPlayingClock.elapsed() : 0;
		time = lastPlayingTimeMs + since;
		// A stream of unknown length has no end to stop at.
		if (durationMs > 0)
			time = std::min(durationMs, time);
	} else {
		durationMs = duration;
	}

	if (pendingSeekMs >= 0) {
		if (seekTimer.elapsed() >= 1000) {
			pendingSeekMs = -1;
		} else {
			const qint64 tolerance = std::max<qint64>(100, durationMs / 1000);
			if (std::abs(time - pendingSeekMs) <= tolerance)
				pendingSeekMs = -1;
		}
	}

	if (!seekSlider->isSliderDown() && pendingSeekMs < 0) {
		const bool wasBlocked = seekSlider->blockSignals(true);
		int value = 0;
		if (durationMs > 0) {
			// Past the end (or absurd times from the source) pin the handle to the end.
			value = time >= durationMs ? 1000 : int(std::clamp<qint64>(time * 1000 / durationMs, 0, 1000));
		}
		seekSlider->setValue(value);
		updateTimeLabel(time);
		seekSlider->blockSignals(wasBlocked);
	}
	listPositionMs = time;
	updateTrackCountLabel();

	const int currentIndex = currentTrackIndex();

	const QString total = durationMs > 0 ? formatTime(durationMs) : QStringLiteral(u"\u2014:\u2014");
	const int shownState = tailSounding ? int(OBS_MEDIA_STATE_PLAYING) : state;
	timeLabel->setAccessibleDescription(moduleQString(statusKey(shownState)) + QStringLiteral(u" \u00B7 ") +
					    formatTime(time) + QStringLiteral(" / ") + total);

	updateTransportControls();
	handleEndOfTrack(state, currentIndex);
}

void Tracklane::stopPolling()
{
	if (closing)
		return;
	pollTimer.stop();
	resetBinding();
	mixPasses.stop();
	stopFileProbes();
	closing = true;
}
