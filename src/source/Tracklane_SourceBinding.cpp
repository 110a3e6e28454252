#include "dock/Tracklane.hpp"
#include "module/plugin-main.hpp"
#include "playback/SeekSlider.hpp"

#include <QComboBox>
#include <QLabel>

#include <cstring>

obs_source_t *Tracklane::resolveBoundSource() const
{
	obs_source_t *source = obs_weak_source_get_source(boundSource);
	if (source && obs_source_removed(source)) {
		obs_source_release(source);
		return nullptr;
	}
	return source;
}

bool Tracklane::dockActive() const
{
	if (suspended || closing)
		return false;
	obs_source_t *source = resolveBoundSource();
	obs_source_release(source);
	return source != nullptr;
}

void Tracklane::connectMediaSignals(obs_source_t *source)
{
	disconnectMediaSignals();
	signal_handler_t *handler = obs_source_get_signal_handler(source);
	if (!handler)
		return;
	mediaStoppedConnection = {handler, "media_stopped", &Tracklane::onMediaStopped, this};
	mediaStartedConnection = {handler, "media_started", &Tracklane::onMediaStarted, this};
	mediaEndedConnection = {handler, "media_ended", &Tracklane::onMediaEnded, this};
	sourceUpdatedConnection = {handler, "update", &Tracklane::onSourceUpdated, this};
	for (const SignalConnection *c :
	     {&mediaStoppedConnection, &mediaStartedConnection, &mediaEndedConnection, &sourceUpdatedConnection})
		signal_handler_connect_ref(handler, c->signal, c->callback, c->param);
}

void Tracklane::disconnectMediaSignals()
{
	for (SignalConnection *c :
	     {&mediaStoppedConnection, &mediaStartedConnection, &mediaEndedConnection, &sourceUpdatedConnection}) {
		// Waits for a callback that is running on the host thread right now.
		if (c->handler)
			signal_handler_disconnect(c->handler, c->signal, c->callback, c->param);
		*c = SignalConnection();
	}
	// A stop whose confirmation will not come here any more must not silence the next source.
	std::lock_guard<std::mutex> lock(pendingSettingsMutex);
	silenceWhenStopped = false;
}

void Tracklane::clearBindingState()
{
	obs_weak_source_release(boundSource);
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

	obs_source_t *candidate = uuid.isEmpty() ? nullptr : obs_get_source_by_uuid(uuid.toUtf8().constData());
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
	obs_source_release(candidate);
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
