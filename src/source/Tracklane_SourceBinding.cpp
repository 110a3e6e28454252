#include "dock/Tracklane.hpp"
#include "module/plugin-main.hpp"
#include "playback/SeekSlider.hpp"

#include <QComboBox>
#include <QLabel>
#include <QMenu>

#include <cstring>

OBSSourceAutoRelease Tracklane::resolveBoundSource() const
{
	OBSSourceAutoRelease source = obs_weak_source_get_source(boundSource);
	if (source && obs_source_removed(source))
		return nullptr;
	return source;
}

bool Tracklane::dockActive() const
{
	if (suspended || closing)
		return false;
	return resolveBoundSource() != nullptr;
}

void Tracklane::connectMediaSignals(obs_source_t *source)
{
	disconnectMediaSignals();
	signal_handler_t *handler = obs_source_get_signal_handler(source);
	if (!handler)
		return;
	mediaSignals = handler;
	mediaStoppedConnection.Connect(handler, "media_stopped", &Tracklane::onMediaStopped, this);
	mediaStartedConnection.Connect(handler, "media_started", &Tracklane::onMediaStarted, this);
	mediaEndedConnection.Connect(handler, "media_ended", &Tracklane::onMediaEnded, this);
	sourceUpdatedConnection.Connect(handler, "update", &Tracklane::onSourceUpdated, this);
}

void Tracklane::disconnectMediaSignals()
{
	// Each waits for a callback that is running on the host thread right now.
	for (OBSSignal *c :
	     {&mediaStoppedConnection, &mediaStartedConnection, &mediaEndedConnection, &sourceUpdatedConnection})
		c->Disconnect();
	mediaSignals = nullptr;
	// A stop whose confirmation will not come here any more must not silence the next source.
	std::lock_guard<std::mutex> lock(pendingSettingsMutex);
	silenceWhenStopped = false;
}

// The list's menu acts on the rows selected when it is chosen from, not when it opened: left open
// over another list (the host switched collections meanwhile, or the source brought a playlist of
// its own), it would act on that one.
void Tracklane::closeListMenu()
{
	listMenu->close();
}

void Tracklane::clearBindingState()
{
	closeListMenu();
	boundSource = nullptr;
	cancelFileProbes();
	tracks.clear();
	removedTracks.clear();
	observedPlaylist.clear();
	appliedPlaylist.clear();
	outsideChangeAwaitsSource = false;
	currentTrackId.clear();
	managed = false;
	durationMs = 0;
}

void Tracklane::onCollectionLoaded()
{
	if (closing)
		return;
	suspended = false;
	refreshSourceSelector();
}

void Tracklane::bindSource(const QString &uuid)
{
	saveViewState();
	cancelPendingSwitch();
	disconnectMediaSignals();
	// Cleared before the load, which may have something to say about the source.
	clearMessage();
	playbackArmed = false;
	clearBindingState();

	OBSSourceAutoRelease candidate = uuid.isEmpty() ? nullptr : obs_get_source_by_uuid(uuid.toUtf8().constData());
	const char *typeId = candidate ? obs_source_get_unversioned_id(candidate) : nullptr;
	if (!candidate || obs_source_removed(candidate) || !typeId || std::strcmp(typeId, "vlc_source") != 0) {
		rebuildTrackList(QString());
		updateTimeLabel(0);
	} else {
		boundSource = obs_source_get_weak_source(candidate);
		loadSourceState(candidate, false);
		restoreViewState(uuid);
		connectMediaSignals(candidate);
	}
}

void Tracklane::resetBinding()
{
	saveViewState();
	suspended = true;
	cancelPendingSwitch();
	disconnectMediaSignals();
	configChangedTimer.stop();
	messageLabel->hide();
	playbackArmed = false;
	clearBindingState();

	const bool wasBlocked = sourceSelector->blockSignals(true);
	sourceSelector->clear();
	sourceSelector->addItem(moduleQString("SelectSource"), QString());
	selectorSnapshot.clear();
	rebuildTrackList(QString());
	updateTimeLabel(0);
	seekSlider->setValue(0);
	sourceSelector->blockSignals(wasBlocked);
}
