#pragma once

// A media source registered by the test process under the id "vlc_source", standing in for the
// host's VLC source. libobs treats it like the real one: its media actions are queued and run on
// the graphics thread, which then emits media_stopped, and settings updates are deferred to the
// next graphics tick. Tests script its state, time and duration and read what it was asked to do.

#include <obs.h>

#include <QHash>
#include <QString>
#include <QStringList>

#include <mutex>

namespace standin {

struct Media {
	obs_source_t *source = nullptr;
	mutable std::mutex mutex;
	obs_media_state state = OBS_MEDIA_STATE_NONE;
	int64_t time = 0;
	int64_t duration = 0;
	// What a playlist update starts: state PLAYING (or stateOnUpdate) at time 0 with this duration.
	bool playOnUpdate = true;
	obs_media_state stateOnUpdate = OBS_MEDIA_STATE_PLAYING;
	int64_t durationOnUpdate = 10000;
	// The first item of the playlist the last update gave it: the media it has open.
	QString mediaPath;
	// What get_metadata answers for a media file ("title", "artist", ...), as the VLC source does:
	// only once the media has opened (playing, paused or ended); before that, and for a tag the
	// file lacks, the title is the file's name.
	QHash<QString, QHash<QString, QByteArray>> tags;
	QStringList updates; // the source's full settings as JSON after each update
	QStringList calls;   // "stop", "pause", "resume", "restart", "set_time:<ms>", ...
	int stopsOnGraphicsThread = 0;
};

void registerSourceType();

// The stand-in behind a source made with obs_source_create("vlc_source", ...).
Media *of(obs_source_t *source);

obs_source_t *create(const char *name, const QStringList &playlist = {}, obs_data_t *extraSettings = nullptr);

void setState(obs_source_t *source, obs_media_state state);
void setTags(obs_source_t *source, const QString &path, const QHash<QString, QByteArray> &tags);
void setStateOnUpdate(obs_source_t *source, obs_media_state state);
void setTime(obs_source_t *source, int64_t time);
void setDuration(obs_source_t *source, int64_t duration);
QStringList calls(obs_source_t *source);
QStringList updates(obs_source_t *source);
void clearRecords(obs_source_t *source);

// Replaces the source's playlist the way the host's properties window does.
void setPlaylist(obs_source_t *source, const QStringList &playlist);

// The "value" strings of the source's current "playlist" setting.
QStringList playlistOf(obs_source_t *source);

} // namespace standin
