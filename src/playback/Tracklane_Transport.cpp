#include "dock/Tracklane.hpp"
#include "module/plugin-main.hpp"
#include "source/playlist-data.hpp"
#include "playback/SeekSlider.hpp"

#include <QAction>
#include <QComboBox>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QStyle>
#include <QToolButton>

#include <algorithm>

void Tracklane::togglePlayPause()
{
	OBSSourceAutoRelease source = resolveBoundSource();
	if (!source)
		return;

	const QString selected = selectedTrackId();
	if (!selected.isEmpty() && selected != currentTrackId) {
		loadTrack(selected, false);
		return;
	}

	// The ended track's tail is still being heard: starting it again would cut the tail and play
	// the track twice.
	if (endHandOverDue) {
		updateTransportControls();
		return;
	}

	switch (obs_source_media_get_state(source)) {
	case OBS_MEDIA_STATE_PLAYING:
		obs_source_media_play_pause(source, true);
		break;
	case OBS_MEDIA_STATE_PAUSED:
		obs_source_media_play_pause(source, false);
		break;
	default:
		if (!currentTrackId.isEmpty())
			loadTrack(currentTrackId, false);
		break;
	}
	updateTransportControls();
}

void Tracklane::playPrevious()
{
	if (tracks.isEmpty())
		return;
	const int n = int(tracks.size());
	const int i = currentTrackIndex();
	const int target = i < 0 ? n - 1 : (i - 1 + n) % n;
	loadTrack(tracks[target].id, false);
}

void Tracklane::playNext()
{
	if (tracks.isEmpty())
		return;
	const int n = int(tracks.size());
	const int i = currentTrackIndex();
	const int target = i < 0 ? 0 : (i + 1) % n;
	loadTrack(tracks[target].id, false);
}

// VLC hands its audio to OBS about a second ahead of when it is to be heard, and a stop lets OBS
// play that lead out. Turning the decoupled flag on drops the source's audio buffer at once (libobs
// resets its audio there); turned straight back off when it was off, it changes nothing else.
void Tracklane::dropBufferedAudio(obs_source_t *source)
{
	const bool decoupled = obs_source_async_decoupled(source);
	obs_source_set_async_decoupled(source, true);
	if (!decoupled)
		obs_source_set_async_decoupled(source, false);
}

void Tracklane::stopPlayback()
{
	stopSource(true);
}

// The operator's stop is heard at once; the end-of-track rule's stop comes once the tail has been
// heard and drops nothing.
void Tracklane::stopSource(bool silenceAtOnce)
{
	cancelPendingSwitch();
	playbackArmed = false;
	trackPlayed = false;

	if (OBSSourceAutoRelease source = resolveBoundSource()) {
		{
			// libobs carries the stop out on its graphics thread; until then the source goes on
			// handing over audio, which onMediaStopped drops once the stop has taken effect. Both
			// drops happen under the lock, so that the two threads never make them at once.
			std::lock_guard<std::mutex> lock(pendingSettingsMutex);
			silenceWhenStopped = silenceAtOnce;
			if (silenceAtOnce)
				dropBufferedAudio(source);
			obs_source_media_stop(source);
		}
		if (managed) {
			observedPlaylist.clear();
			saveSourceState();
			// Only the playlist: the loop, shuffle and behaviour of the last switch stay.
			OBSDataAutoRelease settings = obs_data_create();
			obs_data_set_array(settings, "playlist", OBSDataArrayAutoRelease(obs_data_array_create()));
			obs_source_update(source, settings);
			appliedPlaylist.clear();
			outsideChangeAwaitsSource = false;
		}
	}

	clearMessage();
	updateTransportControls();
	Q_EMIT notices.playbackStopped();
}

void Tracklane::setEndModeFromCombo()
{
	endMode = std::clamp(endModeCombo->currentData(Qt::UserRole).toInt(), 0, 2);
	saveSourceState();
}

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

void Tracklane::finishTrackSwitch(qint64 generation)
{
	if (quint64(generation) != switchGeneration)
		return;
	OBSDataAutoRelease settings;
	{
		std::lock_guard<std::mutex> lock(pendingSettingsMutex);
		settings = std::move(pendingSettings);
	}
	// A second media_stopped of the same switch (the operator's own stop, say) finds it done.
	if (!settings)
		return;
	trackSwitchPending = false;

	if (OBSSourceAutoRelease source = resolveBoundSource()) {
		const QList<QString> held = readSourcePlaylist(source);
		if (held != playlistAtSwitchRequest) {
			// Someone else changed the playlist while the source stopped for the switch: applying
			// the switch now would overwrite that unseen. It is called off, and the track it was
			// for never reached the source.
			pendingSeekMs = -1;
			sceneSwitchAfterLoad = false;
			startAwaited = false;
			// The change meets the dock as it was before the switch: a handed-back source is still
			// the source's own (its new playlist is then imported), and a managed one goes on from
			// the track it held.
			restorePreSwitchTrack();
			takeOutsideChange(source, held);
			updateTransportControls();
			return;
		}
		// A change made before the switch was asked for, which the poll had not seen yet, is older
		// than the switch (the operator's Next right after the Properties window's Cancel): the
		// switch goes ahead, and the change is told as the poll would have told it.
		const bool changedUnseen = held != observedPlaylist;
		dropBufferedAudio(source);
		obs_source_update(source, settings);
		// Only now does the source hold the new playlist; saving it any earlier would make a
		// collection saved in between disagree with its source.
		observedPlaylist = readPlaylist(settings, "playlist");
		appliedPlaylist = observedPlaylist;
		outsideChangeAwaitsSource = false;
		saveSourceState();

		// Monitoring is set up anew so that the newly loaded media reaches the monitor.
		const obs_monitoring_type type = obs_source_get_monitoring_type(source);
		if (type != OBS_MONITORING_TYPE_NONE) {
			obs_source_set_monitoring_type(source, OBS_MONITORING_TYPE_NONE);
			obs_source_set_monitoring_type(source, type);
		}
		if (changedUnseen)
			showMessage(moduleQString("SourceChangedOutside"));
	}

	// A seek let go while the switch was under way was meant for the old track.
	pendingSeekMs = -1;
	playStartTimer.restart();
	updateTransportControls();
	if (sceneSwitchAfterLoad)
		Q_EMIT sceneSwitchRequested(sourceUuid);
}

void Tracklane::updateTransportControls()
{
	OBSSourceAutoRelease source = (suspended || closing) ? nullptr : resolveBoundSource();
	const bool usable = source != nullptr;

	const QString selected = selectedTrackId();
	// Only "none", "one" and "more than one" matter, so the count stops at two; the selection's
	// ranges are read as they are instead of allocating a list of items four times a second.
	int visibleSelected = 0;
	const QItemSelection selection = trackList->selectionModel()->selection();
	for (const QItemSelectionRange &range : selection) {
		for (int r = range.top(); r <= range.bottom() && visibleSelected < 2; ++r)
			if (!trackList->isRowHidden(r))
				++visibleSelected;
		if (visibleSelected >= 2)
			break;
	}
	const bool searchEmpty = searchEdit->text().trimmed().isEmpty();
	const int row = trackList->currentRow();
	const int rowCount = trackList->count();
	int state = usable ? int(obs_source_media_get_state(source)) : 0;
	// Until the source has begun the track it was switched to, Play/Pause would load the opening
	// track again and a seek would land in it (or in the track before, by its length). A source
	// that plays, pauses, ends or fails has begun it, whether or not its start signal has come yet.
	const bool notBegun = state == OBS_MEDIA_STATE_NONE || state == OBS_MEDIA_STATE_OPENING ||
			      state == OBS_MEDIA_STATE_BUFFERING || state == OBS_MEDIA_STATE_STOPPED;
	const bool switching = trackSwitchPending || (usable && notBegun && switchUnderWay(state));
	// The source has ended, but the audience still hears the tail: show what they hear, and offer
	// nothing that would start the sounding track again.
	const bool tailSounding = tailStillHeard(state);
	if (tailSounding)
		state = OBS_MEDIA_STATE_PLAYING;
	const bool playsOther = !selected.isEmpty() && selected != currentTrackId;
	const bool hasTracks = !tracks.isEmpty();

	playPauseButton->setEnabled(usable && !switching && (playsOther || !tailSounding) &&
				    (!selected.isEmpty() || !currentTrackId.isEmpty()));
	stopButton->setEnabled(usable);
	previousButton->setEnabled(usable && hasTracks);
	nextButton->setEnabled(usable && hasTracks);
	addFilesButton->setEnabled(usable);
	removeAction->setEnabled(usable && visibleSelected > 0);
	undoRemoveAction->setEnabled(usable && !removedTracks.isEmpty());
	locateCurrentAction->setEnabled(usable && currentTrackIndex() >= 0);

	bool canOpenFolder = usable && !selected.isEmpty() && visibleSelected == 1;
	if (canOpenFolder) {
		QListWidgetItem *current = trackList->currentItem();
		canOpenFolder = current && current->isSelected() &&
				!localPathOf(current->data(TrackPathRole).toString()).isEmpty();
	}
	openFolderAction->setEnabled(canOpenFolder);

	const bool canMove = usable && visibleSelected == 1 && searchEmpty;
	moveUpAction->setEnabled(canMove && row > 0);
	moveDownAction->setEnabled(canMove && row + 1 < rowCount);
	moveTopAction->setEnabled(moveUpAction->isEnabled());
	moveBottomAction->setEnabled(moveDownAction->isEnabled());
	restorePlaylistAction->setEnabled(usable && (managed || hasTracks));
	endModeCombo->setEnabled(usable);
	seekSlider->setEnabled(usable && !switching && !tailSounding && durationMs > 0);

	const char *key;
	QString iconClass;
	if (playsOther) {
		key = "PlaySelected";
		iconClass = QStringLiteral("icon-media-play");
	} else if (state == OBS_MEDIA_STATE_PLAYING) {
		key = "Pause";
		iconClass = QStringLiteral("icon-media-pause");
	} else if (state == OBS_MEDIA_STATE_PAUSED) {
		key = "Resume";
		iconClass = QStringLiteral("icon-media-play");
	} else {
		key = "Play";
		iconClass = QStringLiteral("icon-media-play");
	}
	// Each label belongs to one icon, so an unchanged label means an unchanged icon; this runs four
	// times a second, and looking up a dynamic property by name costs more than the rest together.
	const QString label = moduleQString(key);
	if (playPauseButton->accessibleName() != label) {
		playPauseButton->setAccessibleName(label);
		// Re-polishing restyles the button; do it only when the icon really changes.
		if (playPauseButton->property("class").toString() != iconClass) {
			playPauseButton->setProperty("class", iconClass);
			playPauseButton->style()->unpolish(playPauseButton);
			playPauseButton->style()->polish(playPauseButton);
			playPauseButton->update();
		}
	}
}
