#include "stand_in_source.hpp"
#include "thread_sanitizer.hpp"

#include <obs-module.h>
#include <obs.hpp>

namespace standin {

static Media *media(void *data)
{
	return static_cast<Media *>(data);
}

static void record(Media *m, const QString &call)
{
	std::lock_guard<std::mutex> lock(m->mutex);
	m->calls << call;
}

static const char *getName(void *)
{
	return "Stand-in media source";
}

static void getDefaults(obs_data_t *settings)
{
	obs_data_set_default_bool(settings, "loop", true);
	obs_data_set_default_bool(settings, "shuffle", false);
	obs_data_set_default_string(settings, "playback_behavior", "stop_restart");
}

static void update(void *data, obs_data_t *settings)
{
	Media *m = media(data);
	size_t count;
	QString json;
	QString firstItem;
	{
		// libobs runs this deferred update on its graphics thread with the source's own settings
		// object, which the UI thread writes meanwhile without any lock (the host's properties
		// window does, and so does the dock); the VLC source reads it the same way. That race is
		// libobs's, so these reads are left out of ThreadSanitizer's checks. The settings are
		// read into a private copy: obs_data_get_json rewrites the object's cached text, which a
		// test reading the JSON on the UI thread would meet.
		testhost::UncheckedAccesses unchecked;
		OBSDataArrayAutoRelease playlist = obs_data_get_array(settings, "playlist");
		count = obs_data_array_count(playlist);
		if (count > 0) {
			OBSDataAutoRelease item = obs_data_array_item(playlist, 0);
			firstItem = QString::fromUtf8(obs_data_get_string(item, "value"));
		}
		OBSDataAutoRelease copy = obs_data_create();
		obs_data_apply(copy, settings);
		json = QString::fromUtf8(obs_data_get_json(copy));
	}

	std::lock_guard<std::mutex> lock(m->mutex);
	m->updates << json;
	m->mediaPath = firstItem;
	if (count > 0 && m->playOnUpdate) {
		m->state = m->stateOnUpdate;
		m->time = 0;
		m->duration = m->durationOnUpdate;
	}
}

static void getMetadata(void *data, calldata_t *call)
{
	Media *m = media(data);
	const char *tag = calldata_string(call, "tag_id");
	if (!tag)
		return;
	std::lock_guard<std::mutex> lock(m->mutex);
	if (m->mediaPath.isEmpty())
		return;
	const bool opened = m->state == OBS_MEDIA_STATE_PLAYING || m->state == OBS_MEDIA_STATE_PAUSED ||
			    m->state == OBS_MEDIA_STATE_ENDED;
	const QHash<QString, QByteArray> own = opened ? m->tags.value(m->mediaPath) : QHash<QString, QByteArray>();
	const QString key = QString::fromUtf8(tag);
	if (own.contains(key)) {
		calldata_set_string(call, "tag_data", own.value(key).constData());
	} else if (key == QLatin1String("title")) {
		const QString name = m->mediaPath.mid(m->mediaPath.lastIndexOf(QLatin1Char('/')) + 1);
		calldata_set_string(call, "tag_data", name.toUtf8().constData());
	}
}

static void *createMedia(obs_data_t *settings, obs_source_t *source)
{
	auto *m = new Media;
	m->source = source;
	proc_handler_add(obs_source_get_proc_handler(source), "void get_metadata(in string tag_id out string tag_data)",
			 getMetadata, m);
	{
		OBSDataArrayAutoRelease playlist = obs_data_get_array(settings, "playlist");
		if (obs_data_array_count(playlist) > 0 && m->playOnUpdate) {
			m->state = OBS_MEDIA_STATE_PLAYING;
			m->duration = m->durationOnUpdate;
		}
	}
	return m;
}

static void destroyMedia(void *data)
{
	delete media(data);
}

static void mediaPlayPause(void *data, bool pause)
{
	Media *m = media(data);
	record(m, pause ? QStringLiteral("pause") : QStringLiteral("resume"));
	std::lock_guard<std::mutex> lock(m->mutex);
	if (pause && m->state == OBS_MEDIA_STATE_PLAYING)
		m->state = OBS_MEDIA_STATE_PAUSED;
	else if (!pause && m->state == OBS_MEDIA_STATE_PAUSED)
		m->state = OBS_MEDIA_STATE_PLAYING;
}

static void mediaRestart(void *data)
{
	Media *m = media(data);
	record(m, QStringLiteral("restart"));
	std::lock_guard<std::mutex> lock(m->mutex);
	m->state = OBS_MEDIA_STATE_PLAYING;
	m->time = 0;
}

static void mediaStop(void *data)
{
	Media *m = media(data);
	record(m, QStringLiteral("stop"));
	std::lock_guard<std::mutex> lock(m->mutex);
	m->state = OBS_MEDIA_STATE_STOPPED;
	m->time = 0;
	if (obs_in_task_thread(OBS_TASK_GRAPHICS))
		++m->stopsOnGraphicsThread;
}

static void mediaNext(void *data)
{
	record(media(data), QStringLiteral("next"));
}

static void mediaPrevious(void *data)
{
	record(media(data), QStringLiteral("previous"));
}

static int64_t mediaGetDuration(void *data)
{
	Media *m = media(data);
	std::lock_guard<std::mutex> lock(m->mutex);
	return m->duration;
}

static int64_t mediaGetTime(void *data)
{
	Media *m = media(data);
	std::lock_guard<std::mutex> lock(m->mutex);
	return m->time;
}

static void mediaSetTime(void *data, int64_t ms)
{
	Media *m = media(data);
	record(m, QStringLiteral("set_time:%1").arg(ms));
	std::lock_guard<std::mutex> lock(m->mutex);
	m->time = ms;
}

static enum obs_media_state mediaGetState(void *data)
{
	Media *m = media(data);
	std::lock_guard<std::mutex> lock(m->mutex);
	return m->state;
}

void registerSourceType()
{
	obs_source_info info = {};
	info.id = "vlc_source";
	info.type = OBS_SOURCE_TYPE_INPUT;
	info.output_flags = OBS_SOURCE_ASYNC_VIDEO | OBS_SOURCE_AUDIO | OBS_SOURCE_DO_NOT_DUPLICATE |
			    OBS_SOURCE_CONTROLLABLE_MEDIA;
	info.get_name = getName;
	info.create = createMedia;
	info.destroy = destroyMedia;
	info.update = update;
	info.get_defaults = getDefaults;
	info.media_play_pause = mediaPlayPause;
	info.media_restart = mediaRestart;
	info.media_stop = mediaStop;
	info.media_next = mediaNext;
	info.media_previous = mediaPrevious;
	info.media_get_duration = mediaGetDuration;
	info.media_get_time = mediaGetTime;
	info.media_set_time = mediaSetTime;
	info.media_get_state = mediaGetState;
	obs_register_source(&info);
}

Media *of(obs_source_t *source)
{
	return source ? media(obs_obj_get_data(source)) : nullptr;
}

// Written here rather than with the plug-in's own helper, so a fault there cannot hide in tests.
static void setPlaylistIn(obs_data_t *settings, const QStringList &playlist)
{
	OBSDataArrayAutoRelease array = obs_data_array_create();
	for (const QString &path : playlist) {
		OBSDataAutoRelease item = obs_data_create();
		obs_data_set_string(item, "value", path.toUtf8().constData());
		obs_data_array_push_back(array, item);
	}
	obs_data_set_array(settings, "playlist", array);
}

void setPlaylist(obs_source_t *source, const QStringList &playlist)
{
	OBSDataAutoRelease settings = obs_data_create();
	setPlaylistIn(settings, playlist);
	obs_source_update(source, settings);
}

obs_source_t *create(const char *name, const QStringList &playlist, obs_data_t *extraSettings)
{
	OBSDataAutoRelease settings = obs_data_create();
	if (extraSettings)
		obs_data_apply(settings, extraSettings);
	setPlaylistIn(settings, playlist);
	obs_source_t *source = obs_source_create("vlc_source", name, settings, nullptr);
	return source;
}

void setState(obs_source_t *source, obs_media_state state)
{
	Media *m = of(source);
	std::lock_guard<std::mutex> lock(m->mutex);
	m->state = state;
}

void setTags(obs_source_t *source, const QString &path, const QHash<QString, QByteArray> &tags)
{
	Media *m = of(source);
	std::lock_guard<std::mutex> lock(m->mutex);
	m->tags.insert(path, tags);
}

void setStateOnUpdate(obs_source_t *source, obs_media_state state)
{
	Media *m = of(source);
	std::lock_guard<std::mutex> lock(m->mutex);
	m->stateOnUpdate = state;
}

void setTime(obs_source_t *source, int64_t time)
{
	Media *m = of(source);
	std::lock_guard<std::mutex> lock(m->mutex);
	m->time = time;
}

void setDuration(obs_source_t *source, int64_t duration)
{
	Media *m = of(source);
	std::lock_guard<std::mutex> lock(m->mutex);
	m->duration = duration;
}

QStringList calls(obs_source_t *source)
{
	Media *m = of(source);
	std::lock_guard<std::mutex> lock(m->mutex);
	return m->calls;
}

QStringList updates(obs_source_t *source)
{
	Media *m = of(source);
	std::lock_guard<std::mutex> lock(m->mutex);
	return m->updates;
}

void clearRecords(obs_source_t *source)
{
	Media *m = of(source);
	std::lock_guard<std::mutex> lock(m->mutex);
	m->calls.clear();
	m->updates.clear();
	m->stopsOnGraphicsThread = 0;
}

QStringList playlistOf(obs_source_t *source)
{
	QStringList out;
	OBSDataAutoRelease settings = obs_source_get_settings(source);
	OBSDataArrayAutoRelease array = obs_data_get_array(settings, "playlist");
	for (size_t i = 0; i < obs_data_array_count(array); ++i) {
		OBSDataAutoRelease item = obs_data_array_item(array, i);
		out << QString::fromUtf8(obs_data_get_string(item, "value"));
	}
	return out;
}

} // namespace standin
