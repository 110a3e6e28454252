#pragma once

#include <obs.h>

#include <QList>
#include <QSet>
#include <QString>

// Brings up the one scene that shows the source, unless the scene on screen already does.
void switchToSceneShowingSource(const QString &sourceUuid);

bool sceneTreeContainsSource(obs_source_t *candidate, obs_source_t *target, QSet<obs_source_t *> &visited);

// Strong references, in the frontend's scene order; the caller releases them.
QList<obs_source_t *> scenesContainingSource(obs_source_t *target);
