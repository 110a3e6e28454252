#pragma once

// A media source registered by the test process under the id "vlc_source", standing in for the
// host's VLC source. libobs treats it like the real one: its media actions are queued and run on
// the graphics thread, which then emits media_stopped, and settings updates are deferred to the
// next graphics tick. Tests script its state, time and duration and read what it was asked to do.

#include <obs.h>

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
	// What a playlist update starts: state PLAYING at time 0 with this duration.
	bool playOnUpdate = true;
	int64_t durationOnUpdate = 10000;
	QStringList updates; // the source's full settings as JSON after each update
	QStringList calls;   // "stop", "pause", "resume", "restart", "set_time:<ms>", ...
	int stopsOnGraphicsThread = 0;
};

void registerSourceType();

// The stand-in behind a source made with obs_source_create("vlc_source", ...).
Media *of(obs_source_t *source);

obs_source_t *create(const char *name, const QStringList &playlist = {}, obs_data_t *extraSettings = nullptr);

void setState(obs_source_t *source, obs_media_state state);
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
