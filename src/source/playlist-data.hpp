#pragma once

#include <obs.h>

#include <QList>
#include <QString>

// The "value" of each element of the array under key; empty and missing values are skipped.
QList<QString> readPlaylist(obs_data_t *settings, const char *key);

// Whether the two arrays hold the same non-empty "value"s in the same order (what readPlaylist would
// give for each), compared as they are stored.
bool samePlaylist(obs_data_t *a, const char *keyA, obs_data_t *b, const char *keyB);

// Whether the array under key holds any non-empty "value".
bool hasPlaylistEntries(obs_data_t *settings, const char *key);

// The playlist the source's settings hold now.
QList<QString> readSourcePlaylist(obs_source_t *source);

// A new array of {"value": path} objects; the caller releases it.
obs_data_array_t *makePlaylistArray(const QList<QString> &paths);
