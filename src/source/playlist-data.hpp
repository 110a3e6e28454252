#pragma once

#include <obs.h>

#include <QList>
#include <QString>

// The "value" of each element of the array under key; empty and missing values are skipped.
QList<QString> readPlaylist(obs_data_t *settings, const char *key);

// The same, and whether stored holds the same non-empty "value"s under storedKey in the same order,
// compared as they are stored, in the same walk.
QList<QString> readPlaylist(obs_data_t *settings, const char *key, obs_data_t *stored, const char *storedKey,
			    bool &sameAsStored);
// Whether the array under key holds any non-empty "value".
bool hasPlaylistEntries(obs_data_t *settings, const char *key);

// The playlist the source's settings hold now.
QList<QString> readSourcePlaylist(obs_source_t *source);

// A new array of {"value": path} objects; the caller releases it.
obs_data_array_t *makePlaylistArray(const QList<QString> &paths);
