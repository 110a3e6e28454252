#include "dock/Tracklane.hpp"
#include "module/plugin-main.hpp"
#include "source/playlist-data.hpp"

#include <QLabel>
#include <QMetaObject>

#include <utility>

void Tracklane::loadTrack(const QString &trackId, bool switchScene)
{
	OBSSourceAutoRelease source = resolveBoundSource();
	if (!source)
		return;
	const TrackEntry *entry = nullptr;
	for (const TrackEntry &track : tracks) {
		if (track.id == trackId) {
			entry = &track;
			break;
		}
	}
	if (!entry) {
		return;
	}

	const QString path = entry->path;

	// A track that cannot be loaded changes nothing: the one playing keeps its end mode, and an
	// end-of-track hand-over that is waiting still goes ahead.
	if (localFileMissing(path)) {
		showMessage(moduleQString("FileMissing").arg(path, 0, QLatin1Char(' ')));
		return;
	}

	// Any load that really switches, the operator's own included, supersedes a waiting hand-over.
	endHandOverDue = false;
	playbackArmed = false;
	trackPlayed = false;
	pendingSeekMs = -1;
	sceneSwitchAfterLoad = switchScene;

	// A second switch before the source has stopped leaves it holding what it held before the first.
	if (!trackSwitchPending) {
		preSwitchTrackId = currentTrackId;
		preSwitchManaged = managed;
	}
	startAwaited = true;
	startsBeforeSwitch = trackStarts;

	const QString previousId = currentTrackId;
	currentTrackId = trackId;
	managed = true;

	// Nothing is saved until the source has taken the switch (finishTrackSwitch) or it is called
	// off (cancelPendingSwitch): a collection saved in between (OBS saves before it exits) must
	// describe what the source holds, its playlist and the track marked current alike.
	playStartTimer.restart();
	lastPlayingTimeMs = 0;
	lastPlayingClock.invalidate();

	OBSDataAutoRelease settings = obs_data_create();
	OBSDataArrayAutoRelease playlist = makePlaylistArray({path});
	obs_data_set_array(settings, "playlist", playlist);
	obs_data_set_bool(settings, "loop", false);
	obs_data_set_bool(settings, "shuffle", false);
	obs_data_set_string(settings, "playback_behavior", "always_play");

	trackSwitchPending = true;
	// What the switch is asked over: a change made after this, while the source stops, is someone
	// else's that the switch must not write over.
	playlistAtSwitchRequest = readSourcePlaylist(source);
	{
		// The new settings wait until the source confirms the stop; finishTrackSwitch applies them.
		std::lock_guard<std::mutex> lock(pendingSettingsMutex);
		++switchGeneration;
		pendingSettings = std::move(settings);
		obs_source_media_stop(source);
	}

	markCurrentTrack(trackId, previousId);
	updateTransportControls();
	clearMessage();
}

void Tracklane::onMediaStopped(void *param, calldata_t *data)
{
	auto *dock = static_cast<Tracklane *>(param);
	auto *source = static_cast<obs_source_t *>(calldata_ptr(data, "source"));

	// This runs on libobs's graphics thread. The source's settings object has no lock of its own,
	// and the UI thread reads and writes it at any time (the host's properties window, the
	// collection save, this dock), so the pending settings are applied by finishTrackSwitch on the
	// UI thread, and the switch's stop is only reported here. The source's audio buffer, which the
	// operator's stop drops here, has a lock of its own.
	quint64 generation;
	bool switching;
	{
		std::lock_guard<std::mutex> lock(dock->pendingSettingsMutex);
		// The operator's stop: the source hands over nothing more, so what it did hand over before
		// the stop took effect is dropped for good, before any switch can load the next track.
		if (std::exchange(dock->silenceWhenStopped, false) && source && !obs_source_removed(source))
			dropBufferedAudio(source);
		if (!source || obs_source_removed(source))
			return;
		switching = dock->pendingSettings != nullptr;
		generation = dock->switchGeneration;
	}

	// The dock is the context: if it is gone before this runs, Qt drops the call.
	if (switching)
		QMetaObject::invokeMethod(
			dock, [dock, generation]() { dock->finishTrackSwitch(qint64(generation)); },
			Qt::QueuedConnection);
	else
		QMetaObject::invokeMethod(
			dock, [dock, generation]() { dock->noteStopped(qint64(generation)); }, Qt::QueuedConnection);
}

// A stop that was no switch's: the dock's own Stop, or one from outside it (OBS's media controls,
// another obs-websocket client, a script), which those who follow the playback hear of the same way.
void Tracklane::noteStopped(qint64 generation)
{
	if (quint64(generation) != switchGeneration || trackSwitchPending || suspended || closing)
		return;
	OBSSourceAutoRelease source = resolveBoundSource();
	const bool stopped = source && obs_source_media_get_state(source) == OBS_MEDIA_STATE_STOPPED;
	// Dropped before those who follow the playback hear of the stop.
	source = nullptr;
	if (stopped)
		Q_EMIT notices.playbackStopped();
}

// The media signals run on one of VLC's threads. While a switch waits for its stop, a start or an
// end is the old track's; once the switch has taken its settings, only the new track can start or
// end. The generation tells the UI thread whether a later switch has superseded it meanwhile.
bool Tracklane::mediaEventGeneration(quint64 &generation)
{
	std::lock_guard<std::mutex> lock(pendingSettingsMutex);
	if (pendingSettings)
		return false;
	generation = switchGeneration;
	return true;
}

void Tracklane::postMediaEvent(void *param, void (Tracklane::*note)(qint64))
{
	auto *dock = static_cast<Tracklane *>(param);
	quint64 generation;
	if (dock->mediaEventGeneration(generation))
		QMetaObject::invokeMethod(
			dock, [dock, note, generation]() { (dock->*note)(qint64(generation)); }, Qt::QueuedConnection);
}

void Tracklane::onMediaStarted(void *param, calldata_t *)
{
	postMediaEvent(param, &Tracklane::noteTrackStarted);
}

void Tracklane::onMediaEnded(void *param, calldata_t *)
{
	postMediaEvent(param, &Tracklane::noteTrackEnded);
}

QString Tracklane::heldTrackId() const
{
	if (!trackSwitchPending)
		return currentTrackId;
	for (const TrackEntry &track : tracks)
		if (track.id == preSwitchTrackId)
			return preSwitchTrackId;
	return QString();
}

void Tracklane::cancelPendingSwitch()
{
	pendingSeekMs = -1;
	endHandOverDue = false;
	startAwaited = false;
	const bool wasPending = trackSwitchPending;
	OBSDataAutoRelease cancelled;
	{
		std::lock_guard<std::mutex> lock(pendingSettingsMutex);
		++switchGeneration;
		cancelled = std::move(pendingSettings);
	}
	trackSwitchPending = false;
	sceneSwitchAfterLoad = false;
	const QList<QString> wanted = wasPending ? readPlaylist(cancelled, "playlist") : QList<QString>();

	if (!wasPending)
		return;
	OBSSourceAutoRelease source = resolveBoundSource();
	if (!source)
		return;
	const QList<QString> actual = readPlaylist(OBSDataAutoRelease(obs_source_get_settings(source)), "playlist");
	// The track made current never reached the source unless it already held it, and neither did
	// the takeover: a source handed back before the switch is still its own, and a managed one goes
	// on holding the track it held.
	if (actual != wanted)
		restorePreSwitchTrack();
	observedPlaylist = actual;
	outsideChangeAwaitsSource = actual != appliedPlaylist;
	saveSourceState();
}

void Tracklane::restorePlaylist()
{
	cancelPendingSwitch();
	OBSSourceAutoRelease source = resolveBoundSource();
	if (!source)
		return;

	QList<QString> paths;
	paths.reserve(tracks.size());
	for (const TrackEntry &track : tracks)
		paths << track.path;

	playbackArmed = false;
	managed = false;
	currentTrackId.clear();
	observedPlaylist = paths;
	saveSourceState();

	OBSDataAutoRelease settings = obs_source_get_settings(source);
	OBSDataArrayAutoRelease playlist = makePlaylistArray(paths);
	obs_data_set_array(settings, "playlist", playlist);
	obs_data_set_bool(settings, "loop", originalLoop);
	obs_data_set_bool(settings, "shuffle", originalShuffle);
	obs_data_set_string(settings, "playback_behavior", originalBehavior.toUtf8().constData());
	obs_source_update(source, settings);
	appliedPlaylist = paths;
	outsideChangeAwaitsSource = false;

	rebuildTrackList(selectedTrackId());
	clearMessage();
}

void Tracklane::checkExternalChange(obs_source_t *source)
{
	const QList<QString> actual = readSourcePlaylist(source);
	if (actual != observedPlaylist)
		takeOutsideChange(source, actual);
}

// Someone else changed the source's playlist: its Properties window (Cancel and Discard put back
// the settings it opened with), Edit > Undo, the Missing Files dialog, a script or a remote client.
void Tracklane::takeOutsideChange(obs_source_t *source, const QList<QString> &playlist)
{
	if (!managed) {
		// The source plays a playlist of its own, which becomes the list.
		loadSourceState(source, true);
		clearMessage();
		return;
	}
	const QString previousId = currentTrackId;
	adoptOutsidePlaylist(playlist);
	saveSourceState();
	if (currentTrackId != previousId)
		markCurrentTrack(currentTrackId, previousId);
	updateTransportControls();
	showMessage(moduleQString("SourceChangedOutside"));
}

// While the dock manages the source, its list is the show's: an outside change removes, reorders
// and renames nothing in it, and leaves the source's own options on record alone.
void Tracklane::adoptOutsidePlaylist(const QList<QString> &playlist)
{
	observedPlaylist = playlist;
	outsideChangeAwaitsSource = playlist != appliedPlaylist;
	if (!outsideChangeAwaitsSource)
		followPlaylistTaken(playlist);
}

// The source has taken a playlist the dock did not write, and plays it from its start. One track of
// the list goes on as the current track, under the end mode; anything else is a playlist of the
// source's own, which the dock no longer drives.
void Tracklane::followPlaylistTaken(const QList<QString> &playlist)
{
	playbackArmed = false;
	endHandOverDue = false;
	playStartTimer.restart();
	trackAfterTaking(playlist, currentTrackId, managed);
}

void Tracklane::trackAfterTaking(const QList<QString> &playlist, QString &trackId, bool &isManaged) const
{
	if (!isManaged)
		return;
	if (playlist.size() == 1) {
		for (const TrackEntry &track : tracks)
			if (track.id == trackId && track.path == playlist.first())
				return;
		for (const TrackEntry &track : tracks) {
			if (track.path == playlist.first()) {
				trackId = track.id;
				return;
			}
		}
	}
	isManaged = false;
}

void Tracklane::onSourceUpdated(void *param, calldata_t *data)
{
	auto *dock = static_cast<Tracklane *>(param);
	// Only compared with the bound source on the UI thread, never used there.
	const auto *source = static_cast<const obs_source_t *>(calldata_ptr(data, "source"));
	// libobs's graphics thread, right after the source ran its update; its settings are read on the
	// UI thread, as everywhere else in the dock.
	QMetaObject::invokeMethod(
		dock, [dock, source]() { dock->noteSourceUpdated(source); }, Qt::QueuedConnection);
}

void Tracklane::noteSourceUpdated(const obs_source_t *updated)
{
	if (suspended || closing)
		return;
	OBSSourceAutoRelease source = resolveBoundSource();
	if (!source || source != updated) {
		return;
	}
	appliedPlaylist = readSourcePlaylist(source);
	// A switch under way writes the source anew; finishTrackSwitch looks at the playlist then.
	if (outsideChangeAwaitsSource && !trackSwitchPending && appliedPlaylist == observedPlaylist) {
		outsideChangeAwaitsSource = false;
		if (managed) {
			const QString previousId = currentTrackId;
			followPlaylistTaken(appliedPlaylist);
			saveSourceState();
			if (currentTrackId != previousId)
				markCurrentTrack(currentTrackId, previousId);
			updateTransportControls();
		}
	}
}

// A switch that never reached the source leaves the dock with the track and the hold it had
// before the switch.
void Tracklane::restorePreSwitchTrack()
{
	const QString cancelledId = currentTrackId;
	currentTrackId = preSwitchTrackId;
	managed = preSwitchManaged;
	if (currentTrackIndex() < 0)
		currentTrackId.clear();
	markCurrentTrack(currentTrackId, cancelledId);
}
