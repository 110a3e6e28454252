#include "source/playlist-data.hpp"
#include <obs.hpp>

QList<QString> readPlaylist(obs_data_t *settings, const char *key)
{
	QList<QString> paths;
	OBSDataArrayAutoRelease array = obs_data_get_array(settings, key);
	const size_t count = obs_data_array_count(array);
	for (size_t i = 0; i < count; ++i) {
		OBSDataAutoRelease item = obs_data_array_item(array, i);
		// A null string from the host reads as empty and is skipped like one.
		const QString value = QString::fromUtf8(obs_data_get_string(item, "value"));
		if (!value.isEmpty())
			paths.append(value);
	}
	return paths;
}

QList<QString> readSourcePlaylist(obs_source_t *source)
{
	OBSDataAutoRelease settings = obs_source_get_settings(source);
	return readPlaylist(settings, "playlist");
}

obs_data_array_t *makePlaylistArray(const QList<QString> &paths)
{
	obs_data_array_t *array = obs_data_array_create();
	for (const QString &path : paths) {
		OBSDataAutoRelease item = obs_data_create();
		obs_data_set_string(item, "value", path.toUtf8().constData());
		obs_data_array_push_back(array, item);
	}
	return array;
}
