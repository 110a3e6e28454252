#include "module/scene-switch.hpp"

void switchToSceneShowingSource(const QString &sourceUuid) {}

bool sceneTreeContainsSource(obs_source_t *candidate, obs_source_t *target, QSet<obs_source_t *> &visited)
{
	return false;
}

QList<obs_source_t *> scenesContainingSource(obs_source_t *target)
{
	return {};
}
