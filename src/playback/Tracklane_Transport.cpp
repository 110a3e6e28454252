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
