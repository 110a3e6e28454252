#include "source/playlist-data.hpp"

QList<QString> readPlaylist(obs_data_t *settings, const char *key)
{
	QList<QString> paths;
	obs_data_array_t *array = obs_data_get_array(settings, key);
	const size_t count = obs_data_array_count(array);
	for (size_t i = 0; i < count; ++i) {
		obs_data_t *item = obs_data_array_item(array, i);
		// A null string from the host reads as empty and is skipped like one.
		const QString value = QString::fromUtf8(obs_data_get_string(item, "value"));
		if (!value.isEmpty())
			paths.append(value);
		obs_data_release(item);
	}
	obs_data_array_release(array);
	return paths;
}

QList<QString> readSourcePlaylist(obs_source_t *source)
{
	obs_data_t *settings = obs_source_get_settings(source);
	const QList<QString> playlist = readPlaylist(settings, "playlist");
	obs_data_release(settings);
	return playlist;
}

obs_data_array_t *makePlaylistArray(const QList<QString> &paths)
{
	obs_data_array_t *array = obs_data_array_create();
	for (const QString &path : paths) {
		obs_data_t *item = obs_data_create();
		obs_data_set_string(item, "value", path.toUtf8().constData());
		obs_data_array_push_back(array, item);
		obs_data_release(item);
	}
	return array;
}
