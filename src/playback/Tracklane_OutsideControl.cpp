#include "dock/Tracklane.hpp"
#include "playback/SeekSlider.hpp"

#include <QAction>
#include <QComboBox>
#include <QToolButton>

#include <algorithm>

namespace {

Tracklane::TrackInfo infoOf(const TrackEntry &entry, int index)
{
	Tracklane::TrackInfo info;
	info.id = entry.id;
	info.number = index + 1;
	info.path = entry.path;
	info.name = trackDisplayText(entry.path, false);
	info.durationMs = entry.durationMs < 0 ? DurationUnknown : entry.durationMs;
	return info;
}

// How long a completed switch waits for its track to begin before the source's state counts as
// that track's again, should it never begin.
constexpr qint64 StartAwaitMs = 3000;

} // namespace

bool Tracklane::switchUnderWay(int state) const
{
	if (trackSwitchPending)
		return true;
	if (!startAwaited || !playStartTimer.isValid() || playStartTimer.elapsed() >= StartAwaitMs)
		return false;
	// The source reports a start as it begins to open the track; the track has begun once it plays
	// (or pauses, ends or fails).
	return trackStarts == startsBeforeSwitch || state == OBS_MEDIA_STATE_OPENING ||
	       state == OBS_MEDIA_STATE_BUFFERING;
}

Tracklane::Outcome Tracklane::runCommand(Command command)
{
	if (!dockActive())
		return Outcome::Unbound;
	updateTransportControls();

	// The track the command is going to load, so that the caller learns when its file is missing;
	// the dock reports that on its message line as it does for the operator.
	QString target;
	QToolButton *button = nullptr;
	const QString selected = selectedTrackId();
	const int count = int(tracks.size());
	const int index = currentTrackIndex();
	switch (command) {
	case Command::PlayPause: {
		button = playPauseButton;
		// The hand-over after an ended track's tail is a switch about to happen.
		if (!button->isEnabled()) {
			OBSSourceAutoRelease source = resolveBoundSource();
			const int state = source ? int(obs_source_media_get_state(source)) : OBS_MEDIA_STATE_NONE;
			return switchUnderWay(state) || endHandOverDue ? Outcome::SwitchPending : Outcome::UnknownTrack;
		}
		if (!selected.isEmpty() && selected != currentTrackId) {
			target = selected;
		} else {
			OBSSourceAutoRelease source = resolveBoundSource();
			const int state = source ? int(obs_source_media_get_state(source)) : OBS_MEDIA_STATE_NONE;
			if (state != OBS_MEDIA_STATE_PLAYING && state != OBS_MEDIA_STATE_PAUSED)
				target = currentTrackId;
		}
		break;
	}
	case Command::Stop:
		button = stopButton;
		break;
	case Command::Previous:
		button = previousButton;
		if (!button->isEnabled())
			return Outcome::UnknownTrack;
		target = tracks[index < 0 ? count - 1 : (index - 1 + count) % count].id;
		break;
	case Command::Next:
		button = nextButton;
		if (!button->isEnabled())
			return Outcome::UnknownTrack;
		target = tracks[index < 0 ? 0 : (index + 1) % count].id;
		break;
	case Command::PlaySelected:
		// What Return in the list does, scene switch included.
		if (selected.isEmpty())
			return Outcome::UnknownTrack;
		target = selected;
		break;
	case Command::RestorePlaylist:
		if (!restorePlaylistAction->isEnabled())
			return Outcome::UnknownTrack;
		break;
	}

	bool missing = false;
	for (const TrackEntry &entry : std::as_const(tracks)) {
		if (!target.isEmpty() && entry.id == target) {
			missing = localFileMissing(entry.path);
			break;
		}
	}

	if (command == Command::PlaySelected) {
		startSelectedTrack();
	} else if (command == Command::RestorePlaylist) {
		restorePlaylistAction->trigger();
	} else {
		if (!button->isEnabled())
			return Outcome::Unbound;
		button->click();
	}
	return missing ? Outcome::MissingFile : Outcome::Done;
}

Tracklane::Outcome Tracklane::playTrackById(const QString &trackId)
{
	if (!dockActive())
		return Outcome::Unbound;
	for (const TrackEntry &entry : std::as_const(tracks)) {
		if (entry.id != trackId)
			continue;
		const bool missing = localFileMissing(entry.path);
		// Like the transport's own loads, without bringing up another scene.
		loadTrack(trackId, false);
		return missing ? Outcome::MissingFile : Outcome::Done;
	}
	return Outcome::UnknownTrack;
}

Tracklane::Outcome Tracklane::seekTo(qint64 ms)
{
	if (!dockActive())
		return Outcome::Unbound;
	updateTransportControls();
	OBSSourceAutoRelease source = resolveBoundSource();
	if (!source)
		return Outcome::Unbound;
	// Until the source has begun the new track, a seek would land in the track before it or in
	// one still opening: the switch is pending as long as the status says so.
	if (endHandOverDue || switchUnderWay(int(obs_source_media_get_state(source)))) {
		return Outcome::SwitchPending;
	}
	if (!seekSlider->isEnabled() || ms < 0 || ms > durationMs) {
		return Outcome::BadArgument;
	}

	// The same seek as a release of the slider at that point.
	const bool wasBlocked = seekSlider->blockSignals(true);
	seekSlider->setValue(int(ms * 1000 / durationMs));
	seekSlider->blockSignals(wasBlocked);
	seekSource(source, ms);
	return Outcome::Done;
}

Tracklane::Outcome Tracklane::setEndMode(int mode)
{
	if (!dockActive())
		return Outcome::Unbound;
	if (mode < 0 || mode > 2)
		return Outcome::BadArgument;
	updateTransportControls();
	if (!endModeCombo->isEnabled())
		return Outcome::Unbound;
	// Through the combo box, as the operator's choice goes: it saves the per-source state.
	endModeCombo->setCurrentIndex(mode);
	return Outcome::Done;
}

Tracklane::StatusInfo Tracklane::statusInfo() const
{
	StatusInfo status;
	status.endMode = endMode;
	status.trackCount = int(tracks.size());
	status.managed = managed;
	status.switchPending = trackSwitchPending;
	status.trackStarts = trackStarts;
	if (suspended || closing)
		return status;
	OBSSourceAutoRelease source = resolveBoundSource();
	if (!source)
		return status;

	status.bound = true;
	status.sourceName = QString::fromUtf8(obs_source_get_name(source));
	status.sourceUuid = QString::fromUtf8(obs_source_get_uuid(source));
	status.mediaState = int(obs_source_media_get_state(source));
	// From a track request until the source has begun the track, what the source reports is the
	// dock's own switch: the stop it asked for, then the moments before the new track plays.
	status.switchPending = switchUnderWay(status.mediaState);
	// As the dock shows it: the ended track's tail is still being heard.
	if (tailStillHeard(status.mediaState))
		status.mediaState = OBS_MEDIA_STATE_PLAYING;
	status.elapsedMs = std::max<int64_t>(obs_source_media_get_time(source), 0);
	status.durationMs = std::max<int64_t>(obs_source_media_get_duration(source), 0);
	// Until the source takes a pending switch, its state and times are those of the track before.
	const QString held = heldTrackId();
	int index = -1;
	if (held == currentTrackId) {
		index = currentTrackIndex();
	} else {
		for (int i = 0; index < 0 && i < int(tracks.size()); ++i)
			if (tracks[i].id == held)
				index = i;
	}
	if (index >= 0)
		status.current = infoOf(tracks[index], index);
	status.listRemainingMs = listRemainingMs(&status.listRemainingUnknown);
	return status;
}

QList<Tracklane::TrackInfo> Tracklane::trackInfos(bool checkFiles) const
{
	QList<TrackInfo> infos;
	infos.reserve(tracks.size());
	for (int i = 0; i < int(tracks.size()); ++i) {
		infos << infoOf(tracks[i], i);
		// As the file is now: the list's own mark is only as fresh as its last rebuild.
		if (checkFiles)
			infos.last().missing = localFileMissing(tracks[i].path);
	}
	return infos;
}
