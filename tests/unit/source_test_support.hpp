#pragma once

// Shared by the source binding tests: a dock on a temporary settings folder, sources that are
// removed and released at the end of a test, and readers for the state a source carries.

#include "test_access.hpp"
#include "stand_in_source.hpp"
#include "dock_invariants.hpp"

#include <obs.h>

#include <QComboBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace sourcetest {

// Removes and releases every source it was given, newest first, so that no test leaves sources
// behind for the next one to list.
class OwnedSources {
public:
	OwnedSources() = default;
	OwnedSources(const OwnedSources &) = delete;
	OwnedSources &operator=(const OwnedSources &) = delete;
	~OwnedSources() { clear(); }

	obs_source_t *add(obs_source_t *source)
	{
		sources.push_back(source);
		return source;
	}
	obs_scene_t *addScene(const char *name)
	{
		obs_scene_t *scene = obs_scene_create(name);
		sources.push_back(obs_scene_get_source(scene));
		return scene;
	}
	obs_source_t *media(const char *name, const QStringList &playlist = {}, obs_data_t *extra = nullptr)
	{
		return add(standin::create(name, playlist, extra));
	}
	void clear()
	{
		for (auto it = sources.rbegin(); it != sources.rend(); ++it) {
			obs_source_remove(*it);
			obs_source_release(*it);
		}
		sources.clear();
	}

private:
	std::vector<obs_source_t *> sources;
};

// A dock whose poll timer is stopped, so that only the test drives it.
struct Dock {
	QTemporaryDir dir;
	std::unique_ptr<Tracklane> dock;

	explicit Dock(bool activate = true)
	{
		dock = std::make_unique<Tracklane>(settingsPath(), nullptr);
		TA::pollTimer(*dock).stop();
		if (activate)
			dock->onCollectionLoaded();
	}
	QString settingsPath() const { return dir.filePath(QStringLiteral("config/settings.json")); }
	Tracklane &operator*() { return *dock; }
	Tracklane *operator->() { return dock.get(); }
};

inline QString uuidOf(obs_source_t *source)
{
	return QString::fromUtf8(obs_source_get_uuid(source));
}

inline QString boundUuid(Tracklane &dock)
{
	OBSSourceAutoRelease source = dock.resolveBoundSource();
	const QString uuid = source ? uuidOf(source) : QString();
	return uuid;
}

// The labels of the selector's entries after the placeholder.
inline QStringList selectorLabels(Tracklane &dock)
{
	QStringList labels;
	QComboBox *combo = TA::sourceSelector(dock);
	for (int i = 1; i < combo->count(); ++i)
		labels << combo->itemText(i);
	return labels;
}

inline QStringList selectorUuids(Tracklane &dock)
{
	QStringList uuids;
	QComboBox *combo = TA::sourceSelector(dock);
	for (int i = 1; i < combo->count(); ++i)
		uuids << combo->itemData(i, Qt::UserRole).toString();
	return uuids;
}

inline QStringList trackIds(Tracklane &dock)
{
	QStringList ids;
	for (const TrackEntry &track : TA::tracks(dock))
		ids << track.id;
	return ids;
}

inline QStringList trackPaths(Tracklane &dock)
{
	QStringList paths;
	for (const TrackEntry &track : TA::tracks(dock))
		paths << track.path;
	return paths;
}

inline QString stateJson(obs_source_t *source)
{
	return invariants::stateJson(source);
}

inline QJsonObject stateObject(obs_source_t *source)
{
	return QJsonDocument::fromJson(stateJson(source).toUtf8()).object();
}

inline bool hasState(obs_source_t *source)
{
	obs_data_t *priv = obs_source_get_private_settings(source);
	const bool has = obs_data_has_user_value(priv, "OBS-Tracklane");
	obs_data_release(priv);
	return has;
}

inline void eraseState(obs_source_t *source)
{
	obs_data_t *priv = obs_source_get_private_settings(source);
	obs_data_erase(priv, "OBS-Tracklane");
	obs_data_release(priv);
}

// Puts a state object, given as JSON text, into the source's private settings.
inline void setStateJson(obs_source_t *source, const QByteArray &json)
{
	obs_data_t *priv = obs_source_get_private_settings(source);
	obs_data_t *state = obs_data_create_from_json(json.constData());
	obs_data_set_obj(priv, "OBS-Tracklane", state);
	obs_data_release(state);
	obs_data_release(priv);
}

inline void setPlaylist(obs_source_t *source, const QStringList &playlist)
{
	standin::setPlaylist(source, playlist);
}

} // namespace sourcetest
