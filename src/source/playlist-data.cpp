#include "source/playlist-data.hpp"

QList<QString> readPlaylist(obs_data_t *settings, const char *key)
{
	return {};
}

obs_data_array_t *makePlaylistArray(const QList<QString> &paths)
{
	return obs_data_array_create();
}
