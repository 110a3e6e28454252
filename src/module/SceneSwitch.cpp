#include "module/SceneSwitch.hpp"

#include <obs-frontend-api.h>
#include <obs.hpp>

#include <QByteArray>

namespace {

struct ContainmentSearch {
	obs_source_t *target;
	QSet<obs_source_t *> *visited;
	bool found;
};

bool searchItem(obs_scene_t *, obs_sceneitem_t *item, void *param)
{
	auto *search = static_cast<ContainmentSearch *>(param);
	if (sceneTreeContainsSource(obs_sceneitem_get_source(item), search->target, *search->visited)) {
		search->found = true;
		return false;
	}
	return true;
}

} // namespace

void switchToSceneShowingSource(const QString &sourceUuid)
{
	const QByteArray uuid = sourceUuid.toUtf8();
	OBSSourceAutoRelease source = obs_get_source_by_uuid(uuid.constData());
	if (!source)
		return;

	const bool studio = obs_frontend_preview_program_mode_active();
	OBSSourceAutoRelease current = studio ? obs_frontend_get_current_preview_scene()
					      : obs_frontend_get_current_scene();

	QSet<obs_source_t *> visited;
	const bool alreadyShown = current && sceneTreeContainsSource(current, source, visited);
	if (!alreadyShown) {
		const QList<obs_source_t *> candidates = scenesContainingSource(source);
		// Several scenes showing the source leave no way to tell which one the operator meant.
		if (candidates.size() == 1) {
			if (studio)
				obs_frontend_set_current_preview_scene(candidates.first());
			else
				obs_frontend_set_current_scene(candidates.first());
		}
		// The list hands over one plain reference per scene, which its callers release one by one.
		for (obs_source_t *candidate : candidates)
			obs_source_release(candidate);
	}
}

bool sceneTreeContainsSource(obs_source_t *candidate, obs_source_t *target, QSet<obs_source_t *> &visited)
{
	if (candidate == target)
		return true;

	obs_scene_t *scene = obs_scene_from_source(candidate);
	if (!scene)
		scene = obs_group_from_source(candidate);
	if (!scene)
		return false;

	// A scene reached a second time (nested twice, or in a cycle) has been searched already.
	if (visited.contains(candidate))
		return false;
	visited.insert(candidate);

	ContainmentSearch search{target, &visited, false};
	obs_scene_enum_items(scene, searchItem, &search);
	return search.found;
}

QList<obs_source_t *> scenesContainingSource(obs_source_t *target)
{
	QList<obs_source_t *> result;

	obs_frontend_source_list scenes = {};
	obs_frontend_get_scenes(&scenes);
	for (size_t i = 0; i < scenes.sources.num; ++i) {
		obs_source_t *scene = scenes.sources.array[i];
		if (obs_source_removed(scene))
			continue;
		QSet<obs_source_t *> visited;
		if (scene == target || sceneTreeContainsSource(scene, target, visited))
			result.append(obs_source_get_ref(scene));
	}

	obs_frontend_source_list_free(&scenes);
	return result;
}
