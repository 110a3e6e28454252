#include "source/playlist-data.hpp"

#include <obs.hpp>

#include <cstring>

namespace {

// Walks the non-empty "value"s of an array, in order.
class PlaylistValues {
public:
	PlaylistValues(obs_data_t *settings, const char *key)
		: array(obs_data_get_array(settings, key)),
		  count(obs_data_array_count(array))
	{
	}

	// The next non-empty value, or nullptr at the end.
	const char *next()
	{
		while (index < count) {
			OBSDataAutoRelease item = obs_data_array_item(array, index++);
			const char *value = obs_data_get_string(item, "value");
			// The string lives in the item, which the array keeps alive.
			if (value && *value)
				return value;
		}
		return nullptr;
	}

private:
	OBSDataArrayAutoRelease array;
	size_t count;
	size_t index = 0;
};

} // namespace

bool hasPlaylistEntries(obs_data_t *settings, const char *key)
{
	return PlaylistValues(settings, key).next() != nullptr;
}

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

QList<QString> readPlaylist(obs_data_t *settings, const char *key, obs_data_t *stored, const char *storedKey,
			    bool &sameAsStored)
{
	QList<QString> paths;
	PlaylistValues values(settings, key);
	PlaylistValues storedValues(stored, storedKey);
	bool same = true;
	while (const char *value = values.next()) {
		// Bytes that decode to no text (a lone byte-order mark) are no entry, as for the reading above.
		QString path = QString::fromUtf8(value);
		if (!path.isEmpty())
			paths.append(std::move(path));
		if (same) {
			const char *storedValue = storedValues.next();
			same = storedValue && std::strcmp(storedValue, value) == 0;
		}
	}
	sameAsStored = same && !storedValues.next();
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
