#include "module/NowPlaying.hpp"
#include "module/NowPlayingDialog.hpp"
#include "module/NowPlayingFile.hpp"
#include "module/plugin-main.hpp"

#include <obs.hpp>
#include <callback/calldata.h>
#include <callback/proc.h>

#include <QUrl>

#include <cstring>

namespace tracklane {

namespace {

// How often a started track is looked at until it has opened: often at first, since a local file
// opens within milliseconds and a track shorter than a second must not go by unseen; seldom once
// it is slow (a stream, a disk waking up).
constexpr int OpenCheckFastMs = 10;
constexpr int OpenCheckSlowMs = 100;
// A track not open by then is shown by its file name until it is; looking stops after the second.
constexpr qint64 ProvisionalAfterMs = 1000;
constexpr qint64 GiveUpAfterMs = 10000;
// How often the shown track is compared with what the dock does, for the ways it stops following
// a track without stopping it (another source chosen, the list handed back, the source removed).
constexpr int WatchMs = 500;
constexpr int SaveDelayMs = 500;

constexpr const char nowPlayingKey[] = "nowPlaying";

struct CallData {
	calldata_t data = {};
	CallData() = default;
	~CallData() { calldata_free(&data); }
	CallData(const CallData &) = delete;
	CallData &operator=(const CallData &) = delete;
};

// The VLC source's own answer to get_metadata, on the UI thread: it copies the tag under VLC's
// short locks and never waits for the media to be parsed. Without a title tag it answers with the
// media's name, which is the file's name: that is no title.
QString tagOf(proc_handler_t *handler, const char *tag, const QString &path)
{
	CallData call;
	calldata_set_string(&call.data, "tag_id", tag);
	if (!handler || !proc_handler_call(handler, "get_metadata", &call.data))
		return QString();
	const char *raw = calldata_string(&call.data, "tag_data");
	if (!raw)
		return QString();
	if (std::strcmp(tag, "title") == 0) {
		const QString name = trackDisplayText(path, false);
		for (const QString &own : {name, path, QUrl::fromPercentEncoding(name.toUtf8())})
			if (own.toUtf8() == raw)
				return QString();
	}
	return cleanTag(raw);
}

bool hasTextSetting(obs_source_t *source)
{
	std::unique_ptr<obs_properties_t, decltype(&obs_properties_destroy)> properties(obs_source_properties(source),
											obs_properties_destroy);
	return properties && obs_properties_get(properties.get(), "text");
}

QString stringOf(obs_data_t *data, const char *key)
{
	return QString::fromUtf8(obs_data_get_string(data, key));
}

NowPlaying *instance = nullptr;
QPointer<NowPlayingDialog> dialog;

} // namespace

bool NowPlayingSettings::operator==(const NowPlayingSettings &other) const
{
	return textSourceUuid == other.textSourceUuid && filePath == other.filePath &&
	       lineTemplate == other.lineTemplate && idleText == other.idleText;
}

NowPlaying::NowPlaying(Tracklane *dock_) : dock(dock_)
{
	writer = std::make_unique<LineFileWriter>(
		this, [this](const QString &path, const QString &error) { onFileWritten(path, error); });

	openCheck.setInterval(OpenCheckFastMs);
	connect(&openCheck, &QTimer::timeout, this, &NowPlaying::checkOpened);
	watch.setInterval(WatchMs);
	connect(&watch, &QTimer::timeout, this, &NowPlaying::watchDock);
	if (signal_handler_t *global = obs_get_signal_handler()) {
		signal_handler_connect(global, "source_update", &NowPlaying::onSourceUpdated, this);
		followsUpdates = true;
	}
	saveSoon.setSingleShot(true);
	saveSoon.setInterval(SaveDelayMs);
	connect(&saveSoon, &QTimer::timeout, this, []() { obs_frontend_save(); });

	if (dock) {
		PlaybackNotices &notices = dock->playbackNotices();
		connect(&notices, &PlaybackNotices::trackStarted, this, &NowPlaying::onTrackStarted);
		connect(&notices, &PlaybackNotices::playbackStopped, this, &NowPlaying::onPlaybackStopped);
	}
}

NowPlaying::~NowPlaying()
{
	close();
}

void NowPlaying::setSettings(const NowPlayingSettings &wanted)
{
	if (closed)
		return;
	NowPlayingSettings clean;
	clean.textSourceUuid = wanted.textSourceUuid.trimmed();
	clean.filePath = wanted.filePath.trimmed();
	clean.lineTemplate = cleanOperatorText(wanted.lineTemplate);
	clean.idleText = cleanOperatorText(wanted.idleText);
	if (clean == config)
		return;

	if (clean.textSourceUuid != config.textSourceUuid) {
		checkedUuid.clear();
		loggedSourceProblem.clear();
	}
	if (clean.filePath != config.filePath) {
		requestedPath.clear();
		lastFileError.clear();
		loggedFileError.clear();
	}
	config = clean;
	if (showingTrack)
		showLine(renderLine(config.lineTemplate, shownFields));
	else
		showLine(config.idleText);
	saveSoon.start();
	Q_EMIT changed();
}

void NowPlaying::save(obs_data_t *own) const
{
	// Nothing set up leaves the collection as it was without it.
	if (!own || config == NowPlayingSettings())
		return;
	OBSDataAutoRelease data = obs_data_create();
	obs_data_set_string(data, "textSource", config.textSourceUuid.toUtf8().constData());
	obs_data_set_string(data, "file", config.filePath.toUtf8().constData());
	obs_data_set_string(data, "template", config.lineTemplate.toUtf8().constData());
	obs_data_set_string(data, "idleText", config.idleText.toUtf8().constData());
	obs_data_set_obj(own, nowPlayingKey, data);
}

void NowPlaying::load(obs_data_t *own)
{
	if (closed)
		return;
	NowPlayingSettings loaded;
	OBSDataAutoRelease data = own ? obs_data_get_obj(own, nowPlayingKey) : nullptr;
	if (data) {
		loaded.textSourceUuid = stringOf(data, "textSource").trimmed();
		loaded.filePath = stringOf(data, "file").trimmed();
		// Written by hand, by another version or cut short: anything that is not text counts as not
		// there, and an overlong or odd text is made fit as the dialog's would be.
		if (obs_data_has_user_value(data, "template"))
			loaded.lineTemplate = cleanOperatorText(stringOf(data, "template"));
		loaded.idleText = cleanOperatorText(stringOf(data, "idleText"));
	}
	config = loaded;
	checkedUuid.clear();
	loggedSourceProblem.clear();
	requestedPath.clear();
	lastFileError.clear();
	loggedFileError.clear();
	sourceState = TextSourceState::Unset;
	sourceName.clear();
	Q_EMIT changed();
}

void NowPlaying::followFrontendEvent(enum obs_frontend_event event)
{
	switch (event) {
	case OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGED:
	case OBS_FRONTEND_EVENT_FINISHED_LOADING:
		collectionLoaded();
		break;
	case OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGING:
		collectionChanging(true);
		break;
	case OBS_FRONTEND_EVENT_SCENE_COLLECTION_CLEANUP:
		// OBS has removed the collection's sources by now (at exit this comes without a change).
		collectionChanging(false);
		// The set-up belongs to the collection OBS saved before this. A collection loaded next
		// brings its own, or none; a new one loads nothing and must not be saved with this one's.
		load(nullptr);
		break;
	case OBS_FRONTEND_EVENT_EXIT:
		close();
		break;
	default:
		break;
	}
}

void NowPlaying::collectionChanging(bool sourcesThere)
{
	if (closed || !active)
		return;
	stopWaiting();
	// Nothing the dock played goes on. OBS saves the collection it leaves after this, with its text
	// source telling that, so the collection shows no stale title when it is loaded again.
	if (sourcesThere) {
		showIdle();
	} else {
		showingTrack = false;
		watch.stop();
	}
	active = false;
	startTags = TrackTags();
	Q_EMIT changed();
}

void NowPlaying::collectionLoaded()
{
	if (closed)
		return;
	active = true;
	checkedUuid.clear();
	loggedSourceProblem.clear();
	requestedPath.clear();
	// Nothing plays yet, whatever the collection's text source was left holding.
	showIdle();
	Q_EMIT changed();
}

void NowPlaying::close()
{
	if (closed)
		return;
	closed = true;
	active = false;
	openCheck.stop();
	watch.stop();
	saveSoon.stop();
	waitingForOpen = false;
	// Waits for a call that is running on libobs's graphics thread right now.
	if (followsUpdates)
		signal_handler_disconnect(obs_get_signal_handler(), "source_update", &NowPlaying::onSourceUpdated,
					  this);
	followsUpdates = false;
	writer->close();
}

void NowPlaying::onTrackStarted()
{
	if (!active || !dock)
		return;
	const Tracklane::StatusInfo status = dock->statusInfo();
	if (!status.bound || status.current.id.isEmpty())
		return;
	opening = Opening{status.trackStarts, status.sourceUuid, status.current, status.trackCount};
	startTags = TrackTags();
	startTags.start = status.trackStarts;
	startTags.trackId = status.current.id;
	waitingForOpen = true;
	provisionalShown = false;
	openClock.restart();
	openCheck.start(OpenCheckFastMs);
	// The source reports a start as it begins to open; its tags come once it has.
	checkOpened();
}

void NowPlaying::onPlaybackStopped()
{
	if (!active)
		return;
	stopWaiting();
	showIdle();
}

void NowPlaying::stopWaiting()
{
	if (waitingForOpen)
		startTags.settled = true;
	waitingForOpen = false;
	openCheck.stop();
}

void NowPlaying::checkOpened()
{
	if (!waitingForOpen || !active || !dock) {
		stopWaiting();
		return;
	}
	const Tracklane::StatusInfo status = dock->statusInfo();
	// A later start, another track or another source: whatever the source holds now is not the
	// track that started, and reading it would name the wrong one.
	if (!status.bound || status.trackStarts != opening.start || status.current.id != opening.track.id ||
	    status.sourceUuid != opening.sourceUuid) {
		stopWaiting();
		return;
	}

	const int state = status.mediaState;
	const bool opened = state == OBS_MEDIA_STATE_PLAYING || state == OBS_MEDIA_STATE_PAUSED ||
			    (state == OBS_MEDIA_STATE_ENDED && status.durationMs > 0);
	// A file the source could not play ends at once without a length, or fails.
	const bool failed = state == OBS_MEDIA_STATE_ERROR ||
			    (state == OBS_MEDIA_STATE_ENDED && status.durationMs <= 0);
	if (opened) {
		readTags(status);
		stopWaiting();
		showTrack();
		return;
	}
	if (failed) {
		stopWaiting();
		showTrack();
		return;
	}

	const qint64 waited = openClock.elapsed();
	if (waited >= ProvisionalAfterMs && !provisionalShown) {
		provisionalShown = true;
		startTags.settled = true;
		showTrack();
		openCheck.setInterval(OpenCheckSlowMs);
	}
	if (waited >= GiveUpAfterMs)
		stopWaiting();
}

void NowPlaying::readTags(const Tracklane::StatusInfo &status)
{
	OBSSourceAutoRelease source = obs_get_source_by_uuid(status.sourceUuid.toUtf8().constData());
	if (!source)
		return;
	proc_handler_t *handler = obs_source_get_proc_handler(source);
	const QString &path = opening.track.path;
	startTags.title = tagOf(handler, "title", path);
	startTags.artist = tagOf(handler, "artist", path);
	startTags.album = tagOf(handler, "album", path);
	startTags.durationMs = status.durationMs;
	startTags.settled = true;
}

void NowPlaying::showTrack()
{
	LineFields fields;
	fields.title = startTags.title;
	fields.artist = startTags.artist;
	fields.album = startTags.album;
	fields.file = fileBaseName(opening.track.path);
	fields.number = opening.track.number;
	fields.count = opening.trackCount;
	fields.durationMs = startTags.durationMs;
	shownFields = fields;
	shownSourceUuid = opening.sourceUuid;
	showingTrack = true;
	watch.start();
	showLine(renderLine(config.lineTemplate, fields));
}

void NowPlaying::showIdle()
{
	showingTrack = false;
	shownSourceUuid.clear();
	watch.stop();
	showLine(config.idleText);
}

void NowPlaying::watchDock()
{
	if (!showingTrack || !active || !dock)
		return;
	const Tracklane::StatusInfo status = dock->statusInfo();
	if (!status.bound || !status.managed || status.sourceUuid != shownSourceUuid || status.current.id.isEmpty()) {
		stopWaiting();
		showIdle();
	}
}

void NowPlaying::showLine(const QString &line)
{
	currentLine = line;
	if (!active)
		return;
	applyToTextSource();
	applyToFile();
}

void NowPlaying::applyToTextSource()
{
	if (config.textSourceUuid.isEmpty()) {
		noteTextSourceState(TextSourceState::Unset, QString());
		return;
	}
	// By uuid every time, so that a renamed source is still the one, and none is held between.
	OBSSourceAutoRelease source = obs_get_source_by_uuid(config.textSourceUuid.toUtf8().constData());
	if (!source || obs_source_removed(source)) {
		noteTextSourceState(TextSourceState::Gone, QString());
		return;
	}
	const QString name = QString::fromUtf8(obs_source_get_name(source));
	if (checkedUuid != config.textSourceUuid) {
		checkedUuid = config.textSourceUuid;
		checkedHasText = hasTextSetting(source);
	}
	if (!checkedHasText) {
		noteTextSourceState(TextSourceState::NoText, name);
		return;
	}
	noteTextSourceState(TextSourceState::Ready, name);

	// A video source's update runs on libobs's graphics thread at its next frame; from here it
	// only stores the setting. A source already showing the line is left alone.
	const QByteArray text = currentLine.toUtf8();
	OBSDataAutoRelease current = obs_source_get_settings(source);
	if (text == obs_data_get_string(current, "text"))
		return;
	OBSDataAutoRelease update = obs_data_create();
	obs_data_set_string(update, "text", text.constData());
	obs_source_update(source, update);
}

// libobs's graphics thread, once a source has run an update: a text put back by someone else (the
// Properties window's Cancel, Edit > Undo) is replaced by the line. Its own line written back comes
// here too, and finds the source showing it already. Any source of any collection comes here, one
// brought back by Edit > Undo after its removal too, which OBS makes anew under the same uuid; the
// uuid is read here, while the source is certainly alive, and compared on the UI thread.
void NowPlaying::onSourceUpdated(void *param, calldata_t *data)
{
	auto *now = static_cast<NowPlaying *>(param);
	auto *source = static_cast<obs_source_t *>(calldata_ptr(data, "source"));
	const char *uuid = source ? obs_source_get_uuid(source) : nullptr;
	if (!uuid)
		return;
	QMetaObject::invokeMethod(
		now,
		[now, updated = QString::fromUtf8(uuid)]() {
			if (updated == now->config.textSourceUuid)
				now->recheckTextSource();
		},
		Qt::QueuedConnection);
}

void NowPlaying::recheckTextSource()
{
	if (active)
		applyToTextSource();
}

void NowPlaying::noteTextSourceState(TextSourceState state, const QString &name)
{
	if (state == TextSourceState::Gone || state == TextSourceState::NoText) {
		const QString problem = config.textSourceUuid + QLatin1Char(state == TextSourceState::Gone ? 'g' : 't');
		if (loggedSourceProblem != problem) {
			loggedSourceProblem = problem;
			if (state == TextSourceState::Gone)
				blog(LOG_INFO,
				     "[OBS-Tracklane] Now playing: the text source is gone; the line is not shown.");
			else
				blog(LOG_WARNING,
				     "[OBS-Tracklane] Now playing: '%s' has no text to set; the line is not shown.",
				     name.toUtf8().constData());
		}
	} else {
		loggedSourceProblem.clear();
	}
	if (state == sourceState && name == sourceName)
		return;
	sourceState = state;
	sourceName = name;
	Q_EMIT changed();
}

void NowPlaying::applyToFile()
{
	if (config.filePath.isEmpty())
		return;
	if (config.filePath == requestedPath && currentLine == requestedLine)
		return;
	requestedPath = config.filePath;
	requestedLine = currentLine;
	writer->write(config.filePath, currentLine.toUtf8());
}

void NowPlaying::onFileWritten(const QString &path, const QString &error)
{
	if (closed || path != config.filePath)
		return;
	if (error.isEmpty()) {
		loggedFileError.clear();
		if (!lastFileError.isEmpty()) {
			lastFileError.clear();
			Q_EMIT changed();
		}
		return;
	}
	// Tried again with the next line: the folder may be back by then (a disk plugged in again).
	requestedPath.clear();
	const QString problem = path + QLatin1Char('\n') + error;
	if (loggedFileError != problem) {
		loggedFileError = problem;
		blog(LOG_WARNING, "[OBS-Tracklane] Now playing: cannot write '%s': %s", path.toUtf8().constData(),
		     error.toUtf8().constData());
	}
	if (lastFileError != error) {
		lastFileError = error;
		Q_EMIT changed();
	}
}

NowPlaying *nowPlaying()
{
	return instance;
}

void openNowPlaying(Tracklane *dock)
{
	if (!instance)
		instance = new NowPlaying(dock);
	// OBS has no way to take a Tools entry out again; the entry does nothing once this is closed.
	obs_frontend_add_tools_menu_item(moduleText("NowPlayingMenu"), [](void *) { showNowPlayingDialog(); }, nullptr);
}

void closeNowPlaying()
{
	delete dialog.data();
	delete instance;
	instance = nullptr;
}

void nowPlayingFrontendEvent(enum obs_frontend_event event)
{
	if (!instance)
		return;
	instance->followFrontendEvent(event);
	if (event == OBS_FRONTEND_EVENT_EXIT)
		delete dialog.data();
}

void showNowPlayingDialog()
{
	if (!instance)
		return;
	if (!dialog) {
		dialog = new NowPlayingDialog(instance, static_cast<QWidget *>(obs_frontend_get_main_window()));
		dialog->setAttribute(Qt::WA_DeleteOnClose);
	}
	dialog->show();
	dialog->raise();
	dialog->activateWindow();
}

} // namespace tracklane
