#include "dock/Tracklane.hpp"
#include "module/plugin-main.hpp"

#include <QComboBox>
#include <QHash>
#include <QLabel>
#include <QSet>
#include <QStringList>

#include <algorithm>
#include <cstring>

namespace {

struct SourceEntry {
	QString name;
	QString uuid;
	QString label;
};

bool isMediaSource(obs_source_t *source)
{
	const char *id = obs_source_get_unversioned_id(source);
	return id && std::strcmp(id, "vlc_source") == 0;
}

bool collectMediaSource(void *param, obs_source_t *source)
{
	if (!obs_source_removed(source) && isMediaSource(source)) {
		auto *entries = static_cast<QList<SourceEntry> *>(param);
		entries->append({QString::fromUtf8(obs_source_get_name(source)),
				 QString::fromUtf8(obs_source_get_uuid(source)), QString()});
	}
	return true;
}

// One walk below one scene. The visited set stops a scene that is reached again (two items of the
// same nested scene, or a nesting loop) from being walked twice, and lets the scene's name count
// once per media source however often the source occurs below it.
struct SceneWalk {
	QString sceneName;
	QSet<obs_source_t *> visited;
	QHash<QString, QStringList> *membership;
};

void walkSource(SceneWalk &walk, obs_source_t *source);

bool walkSceneItem(obs_scene_t *, obs_sceneitem_t *item, void *param)
{
	walkSource(*static_cast<SceneWalk *>(param), obs_sceneitem_get_source(item));
	return true;
}

void walkSource(SceneWalk &walk, obs_source_t *source)
{
	if (!source || walk.visited.contains(source))
		return;
	walk.visited.insert(source);

	if (isMediaSource(source)) {
		(*walk.membership)[QString::fromUtf8(obs_source_get_uuid(source))].append(walk.sceneName);
		return;
	}

	obs_scene_t *scene = obs_scene_from_source(source);
	if (!scene)
		scene = obs_group_from_source(source);
	if (scene)
		obs_scene_enum_items(scene, walkSceneItem, &walk);
}

bool walkScene(void *param, obs_source_t *scene)
{
	SceneWalk walk;
	walk.sceneName = QString::fromUtf8(obs_source_get_name(scene));
	walk.membership = static_cast<QHash<QString, QStringList> *>(param);
	walkSource(walk, scene);
	return true;
}

// The snapshot holds raw bytes only: no strings are converted and nothing is sorted, so an
// unchanged collection costs little more than enumerating it. Sources are told apart by pointer and
// uuid (a freed source's address can be reused), names by their bytes.
void appendText(QByteArray &out, const char *text)
{
	if (text)
		out.append(text, qsizetype(std::strlen(text)));
	out.append('\0');
}

void appendPointer(QByteArray &out, const void *pointer)
{
	out.append(reinterpret_cast<const char *>(&pointer), qsizetype(sizeof(pointer)));
}

struct Snapshot {
	QByteArray bytes;
	int mediaSources = 0;
};

bool snapshotMediaSource(void *param, obs_source_t *source)
{
	if (!obs_source_removed(source) && isMediaSource(source)) {
		auto &snapshot = *static_cast<Snapshot *>(param);
		++snapshot.mediaSources;
		QByteArray &out = snapshot.bytes;
		out.append('S');
		appendPointer(out, source);
		appendText(out, obs_source_get_uuid(source));
		appendText(out, obs_source_get_name(source));
	}
	return true;
}

bool snapshotSceneItem(obs_scene_t *, obs_sceneitem_t *item, void *param)
{
	auto &out = *static_cast<QByteArray *>(param);
	obs_source_t *source = obs_sceneitem_get_source(item);
	appendPointer(out, source);
	// Groups, and scenes that obs_enum_scenes does not list, are only reached through their items;
	// their contents count as the item's own.
	obs_scene_t *inner = obs_sceneitem_is_group(item) ? obs_sceneitem_group_get_scene(item) : nullptr;
	if (!inner && source && obs_obj_is_private(source))
		inner = obs_scene_from_source(source);
	if (inner) {
		out.append('(');
		obs_scene_enum_items(inner, snapshotSceneItem, param);
		out.append(')');
	}
	return true;
}

bool snapshotScene(void *param, obs_source_t *scene)
{
	auto &out = static_cast<Snapshot *>(param)->bytes;
	out.append('C');
	appendPointer(out, scene);
	appendText(out, obs_source_get_name(scene));
	obs_scene_t *sceneData = obs_scene_from_source(scene);
	if (!sceneData)
		sceneData = obs_group_from_source(scene);
	if (sceneData)
		obs_scene_enum_items(sceneData, snapshotSceneItem, &out);
	return true;
}

Snapshot collectionSnapshot(qsizetype expectedSize)
{
	Snapshot snapshot;
	snapshot.bytes.reserve(expectedSize);
	obs_enum_sources(snapshotMediaSource, &snapshot);
	obs_enum_scenes(snapshotScene, &snapshot);
	return snapshot;
}

} // namespace

void Tracklane::refreshSourceSelector()
{
	if (suspended || closing)
		return;

	// The labels, their order and the combo box follow from these facts alone, and the combo box
	// was made to match them by the refresh that recorded them.
	Snapshot snapshot = collectionSnapshot(selectorSnapshot.size());
	if (selectorSnapshot.isEmpty() || snapshot.bytes != selectorSnapshot ||
	    sourceSelector->count() != snapshot.mediaSources + 1)
		rebuildSourceSelector();
	selectorSnapshot = std::move(snapshot.bytes);

	OBSSourceAutoRelease bound = resolveBoundSource();
	const QString selectedUuid = sourceSelector->currentData(Qt::UserRole).toString();
	const QString boundUuid = bound ? QString::fromUtf8(obs_source_get_uuid(bound)) : QString();
	// The second case empties a dock whose source vanished while the selection stayed the same.
	if (selectedUuid != boundUuid || (!bound && !tracks.isEmpty()))
		bindSource(selectedUuid);
}

void Tracklane::rebuildSourceSelector()
{
	QList<SourceEntry> entries;
	obs_enum_sources(collectMediaSource, &entries);
	std::sort(entries.begin(), entries.end(), [](const SourceEntry &a, const SourceEntry &b) {
		return QString::localeAwareCompare(a.name, b.name) < 0;
	});

	if (!entries.isEmpty()) {
		QHash<QString, QStringList> membership;
		obs_enum_scenes(walkScene, &membership);
		for (SourceEntry &entry : entries) {
			QStringList scenes = membership.value(entry.uuid);
			if (scenes.isEmpty()) {
				entry.label = entry.name;
			} else {
				scenes.sort(Qt::CaseInsensitive);
				entry.label =
					scenes.join(QStringLiteral(" / ")) + QStringLiteral(u" \u00B7 ") + entry.name;
			}
		}
	}

	bool current = sourceSelector->count() == entries.size() + 1;
	for (qsizetype i = 0; current && i < entries.size(); ++i) {
		const int item = int(i) + 1;
		current = sourceSelector->itemText(item) == entries[i].label &&
			  sourceSelector->itemData(item, Qt::UserRole).toString() == entries[i].uuid;
	}

	if (!current) {
		const bool wasBlocked = sourceSelector->blockSignals(true);
		sourceSelector->clear();
		sourceSelector->addItem(QIcon(), moduleQString("SelectSource"), QString());
		QSet<QString> listed;
		for (const SourceEntry &entry : entries) {
			sourceSelector->addItem(QIcon(), entry.label, entry.uuid);
			listed.insert(entry.uuid);
		}
		for (auto it = viewStates.begin(); it != viewStates.end();) {
			if (listed.contains(it.key()))
				++it;
			else
				it = viewStates.erase(it);
		}
		const int index =
			sourceSelector->findData(sourceUuid, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
		sourceSelector->setCurrentIndex(index > 0 ? index : 0);
		sourceSelector->blockSignals(wasBlocked);
	}
}

void Tracklane::onSourceSelected(int)
{
	sourceUuid = sourceSelector->currentData(Qt::UserRole).toString();
	bindSource(sourceUuid);
	saveDockSettings();
}

void Tracklane::onRefreshClicked()
{
	refreshSourceSelector();
	OBSSourceAutoRelease source = resolveBoundSource();
	if (source) {
		// Cleared before the load, which may have something to say about the source.
		clearMessage();
		loadSourceState(source, false);
	}
}
