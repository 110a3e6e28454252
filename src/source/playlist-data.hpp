#pragma once

#include <obs.h>

#include <QList>
#include <QString>

// The "value" of each element of the array under key; empty and missing values are skipped.
QList<QString> readPlaylist(obs_data_t *settings, const char *key);

// A new array of {"value": path} objects; the caller releases it.
obs_data_array_t *makePlaylistArray(const QList<QString> &paths);
