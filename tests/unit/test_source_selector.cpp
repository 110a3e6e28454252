#include "test_host.hpp"
#include "test_access.hpp"
#include "frontend.hpp"
#include "stand_in_source.hpp"
#include "source_test_support.hpp"
#include "module/plugin-main.hpp"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <mutex>

using namespace sourcetest;

namespace {

// An input of another kind than the media source: listed nowhere, bound never.
const char StillTypeId[] = "tracklane_test_still";

const char *stillName(void *)
{
	return "Still picture";
}

void *stillCreate(obs_data_t *, obs_source_t *)
{
	return new int(0);
}

void stillDestroy(void *data)
{
	delete static_cast<int *>(data);
}

uint32_t stillSize(void *)
{
	return 16;
}

void stillRender(void *, gs_effect_t *) {}

void registerStillType()
{
	obs_source_info info = {};
	info.id = StillTypeId;
	info.type = OBS_SOURCE_TYPE_INPUT;
	info.output_flags = OBS_SOURCE_VIDEO;
	info.get_name = stillName;
	info.create = stillCreate;
	info.destroy = stillDestroy;
	info.get_width = stillSize;
	info.get_height = stillSize;
	info.video_render = stillRender;
	obs_register_source(&info);
}

QString middleDot()
{
	return QStringLiteral(u" \u00B7 ");
}

QByteArray readFile(const QString &path)
{
	QFile file(path);
	return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class SourceSelectorTest : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void initTestCase() { registerStillType(); }
	void cleanup()
	{
		tracklane::currentDock = nullptr;
		testfrontend::reset();
	}

	void labelsNameTheScenesThatShowEachSource()
	{
		OwnedSources owned;
		obs_source_t *twoScenes = owned.media("Two scenes");
		obs_source_t *caseMix = owned.media("Case mix");
		obs_source_t *grouped = owned.media("Grouped");
		obs_source_t *nested = owned.media("Nested");
		obs_source_t *twice = owned.media("Twice");
		obs_source_t *loose = owned.media("Loose");

		obs_scene_add(owned.addScene("b"), twoScenes);
		obs_scene_add(owned.addScene("A"), twoScenes);

		// Sorted ignoring case: a byte-wise sort would put "B2" first.
		obs_scene_add(owned.addScene("a2"), caseMix);
		obs_scene_add(owned.addScene("B2"), caseMix);

		// The host lists a group among its scenes, so the group's own name counts too.
		obs_scene_t *groupHost = owned.addScene("G-host");
		obs_sceneitem_t *groupItem = obs_scene_add_group2(groupHost, "Grp", false);
		obs_scene_add(obs_sceneitem_group_get_scene(groupItem), grouped);

		// Inner is placed twice in Outer: Outer still counts once.
		obs_scene_t *inner = owned.addScene("Inner");
		obs_scene_t *outer = owned.addScene("Outer");
		obs_scene_add(inner, nested);
		obs_scene_add(outer, obs_scene_get_source(inner));
		obs_scene_add(outer, obs_scene_get_source(inner));

		obs_scene_t *mainScene = owned.addScene("Main");
		obs_scene_add(mainScene, twice);
		obs_scene_add(mainScene, twice);

		// Neither an unfit input in a scene nor a removed media source that is still referenced
		// belongs in the list.
		obs_source_t *still = owned.add(obs_source_create(StillTypeId, "Still", nullptr, nullptr));
		obs_scene_add(mainScene, still);
		obs_source_remove(owned.media("Removed"));

		Dock dock;
		QComboBox *combo = TA::sourceSelector(*dock);
		QCOMPARE(combo->itemText(0), moduleQString("SelectSource"));
		QCOMPARE(combo->itemData(0, Qt::UserRole).toString(), QString());
		QCOMPARE(combo->itemData(0, Qt::UserRole).typeId(), QMetaType::QString);

		// Ordered by source name, not by label.
		QCOMPARE(selectorLabels(*dock),
			 (QStringList{
				 QStringLiteral("a2 / B2") + middleDot() + QStringLiteral("Case mix"),
				 QStringLiteral("G-host / Grp") + middleDot() + QStringLiteral("Grouped"),
				 QStringLiteral("Loose"),
				 QStringLiteral("Inner / Outer") + middleDot() + QStringLiteral("Nested"),
				 QStringLiteral("Main") + middleDot() + QStringLiteral("Twice"),
				 QStringLiteral("A / b") + middleDot() + QStringLiteral("Two scenes"),
			 }));
		QCOMPARE(selectorUuids(*dock), (QStringList{uuidOf(caseMix), uuidOf(grouped), uuidOf(loose),
							    uuidOf(nested), uuidOf(twice), uuidOf(twoScenes)}));
		for (int i = 0; i < combo->count(); ++i)
			QVERIFY(combo->itemIcon(i).isNull());
		QCOMPARE(combo->currentIndex(), 0);
		QCOMPARE(boundUuid(*dock), QString());
	}

	void noMediaSourceLeavesThePlaceholderAlone()
	{
		OwnedSources owned;
		obs_scene_t *scene = owned.addScene("Only stills");
		obs_scene_add(scene, owned.add(obs_source_create(StillTypeId, "Still", nullptr, nullptr)));

		Dock dock;
		QCOMPARE(TA::sourceSelector(*dock)->count(), 1);
		QCOMPARE(TA::sourceSelector(*dock)->currentIndex(), 0);
		QVERIFY(TA::tracks(*dock).isEmpty());
	}

	void refreshDoesNothingWhileSuspended()
	{
		OwnedSources owned;
		obs_source_t *media = owned.media("Media", {QStringLiteral("/m/one.mp3")});
		Dock dock(false);
		TA::sourceUuid(*dock) = uuidOf(media);
		dock->refreshSourceSelector();
		QCOMPARE(TA::sourceSelector(*dock)->count(), 1);
		QCOMPARE(boundUuid(*dock), QString());

		dock->onCollectionLoaded();
		QCOMPARE(TA::sourceSelector(*dock)->count(), 2);
		QCOMPARE(boundUuid(*dock), uuidOf(media));
		QCOMPARE(trackPaths(*dock), QStringList{QStringLiteral("/m/one.mp3")});
	}

	void unchangedRefreshTouchesNothing()
	{
		OwnedSources owned;
		obs_source_t *media = owned.media("Media", {QStringLiteral("/m/one.mp3")});
		owned.media("Other");
		Dock dock(false);
		TA::sourceUuid(*dock) = uuidOf(media);
		dock->onCollectionLoaded();
		QCOMPARE(boundUuid(*dock), uuidOf(media));
		const QStringList ids = trackIds(*dock);

		QComboBox *combo = TA::sourceSelector(*dock);
		QSignalSpy reset(combo->model(), &QAbstractItemModel::modelReset);
		QSignalSpy inserted(combo->model(), &QAbstractItemModel::rowsInserted);
		QSignalSpy removed(combo->model(), &QAbstractItemModel::rowsRemoved);
		QSignalSpy changed(combo->model(), &QAbstractItemModel::dataChanged);
		QSignalSpy index(combo, &QComboBox::currentIndexChanged);
		// A rebind would load the source again and write its state back.
		eraseState(media);

		dock->refreshSourceSelector();
		dock->refreshSourceSelector();

		QCOMPARE(reset.count() + inserted.count() + removed.count() + changed.count() + index.count(), 0);
		QVERIFY(!hasState(media));
		QCOMPARE(trackIds(*dock), ids);
		QCOMPARE(combo->currentData().toString(), uuidOf(media));
	}

	// The refresh skips rebuilding while the collection looks the same; after each kind of change
	// that shows in the labels, the refreshed list must be what a new dock lists.
	void everyChangeBehindTheLabelsReachesTheSelector()
	{
		OwnedSources owned;
		obs_source_t *alpha = owned.media("Alpha");
		obs_source_t *beta = owned.media("Beta");
		owned.media("Gamma");
		obs_source_t *gamma2 = owned.media("Gamma 2");
		obs_scene_t *inner = owned.addScene("Inner");
		obs_scene_t *outer = owned.addScene("Outer");
		obs_scene_add(outer, obs_scene_get_source(inner));
		obs_scene_t *group = obs_sceneitem_group_get_scene(obs_scene_add_group2(outer, "Grp", false));
		// The host does not list private scenes; what they hold counts for the scene showing them.
		obs_scene_t *hidden = obs_scene_create_private("Hidden");
		owned.add(obs_scene_get_source(hidden));
		obs_scene_add(outer, obs_scene_get_source(hidden));

		Dock dock;
		auto refreshed = [&] {
			dock->refreshSourceSelector();
			return selectorLabels(*dock) + selectorUuids(*dock);
		};
		auto listedByNewDock = [] {
			Dock fresh;
			return selectorLabels(*fresh) + selectorUuids(*fresh);
		};
		const QString dot = middleDot();
		QCOMPARE(refreshed(), listedByNewDock());
		QCOMPARE(selectorLabels(*dock), (QStringList{"Alpha", "Beta", "Gamma", "Gamma 2"}));

		obs_scene_add(inner, alpha);
		QCOMPARE(refreshed(), listedByNewDock());
		QCOMPARE(selectorLabels(*dock).at(0), "Inner / Outer" + dot + "Alpha");

		obs_sceneitem_t *inGroup = obs_scene_add(group, beta);
		QCOMPARE(refreshed(), listedByNewDock());
		QCOMPARE(selectorLabels(*dock).at(1), "Grp / Outer" + dot + "Beta");

		obs_source_set_name(obs_scene_get_source(inner), "Inner 2");
		QCOMPARE(refreshed(), listedByNewDock());
		QCOMPARE(selectorLabels(*dock).at(0), "Inner 2 / Outer" + dot + "Alpha");

		obs_scene_add(hidden, gamma2);
		QCOMPARE(refreshed(), listedByNewDock());
		QCOMPARE(selectorLabels(*dock).at(3), "Outer" + dot + "Gamma 2");

		obs_sceneitem_remove(inGroup);
		QCOMPARE(refreshed(), listedByNewDock());
		QCOMPARE(selectorLabels(*dock).at(1), QStringLiteral("Beta"));

		// A source replaced by a new one of the same name and place is another entry.
		const QString oldUuid = uuidOf(beta);
		obs_source_remove(beta);
		obs_source_t *newBeta = owned.media("Beta");
		QCOMPARE(refreshed(), listedByNewDock());
		QCOMPARE(selectorUuids(*dock).at(1), uuidOf(newBeta));
		QVERIFY(oldUuid != uuidOf(newBeta));

		// The collection going away empties the selector; the next refresh lists everything again.
		dock->resetBinding();
		TA::suspended(*dock) = false;
		QCOMPARE(refreshed(), listedByNewDock());
		QCOMPARE(TA::sourceSelector(*dock)->count(), 5);
	}

	void renamedOrMovedSourceKeepsItsBinding()
	{
		OwnedSources owned;
		obs_source_t *media = owned.media("Media", {QStringLiteral("/m/one.mp3")});
		obs_scene_t *first = owned.addScene("First");
		obs_scene_t *second = owned.addScene("Second");
		obs_sceneitem_t *item = obs_scene_add(first, media);

		Dock dock(false);
		TA::sourceUuid(*dock) = uuidOf(media);
		dock->onCollectionLoaded();
		QCOMPARE(selectorLabels(*dock),
			 QStringList{QStringLiteral("First") + middleDot() + QStringLiteral("Media")});
		const QStringList ids = trackIds(*dock);
		eraseState(media);

		QSignalSpy inserted(TA::sourceSelector(*dock)->model(), &QAbstractItemModel::rowsInserted);
		obs_source_set_name(media, "Renamed");
		dock->refreshSourceSelector();
		QVERIFY(inserted.count() > 0);
		QCOMPARE(selectorLabels(*dock),
			 QStringList{QStringLiteral("First") + middleDot() + QStringLiteral("Renamed")});

		obs_sceneitem_remove(item);
		obs_scene_add(second, media);
		dock->refreshSourceSelector();
		QCOMPARE(selectorLabels(*dock),
			 QStringList{QStringLiteral("Second") + middleDot() + QStringLiteral("Renamed")});

		QCOMPARE(TA::sourceSelector(*dock)->currentIndex(), 1);
		QCOMPARE(boundUuid(*dock), uuidOf(media));
		QVERIFY(!hasState(media)); // not bound again
		QCOMPARE(trackIds(*dock), ids);
		QCOMPARE(TA::sourceUuid(*dock), uuidOf(media));
	}

	void nearlyEqualNamesAreToldApartByUuid()
	{
		// The host renames a source that would take a name already in use, so the closest two
		// sources can come is names that differ in case only.
		OwnedSources owned;
		obs_source_t *first = owned.media("Twin", {QStringLiteral("/m/first.mp3")});
		obs_source_t *second = owned.media("twin", {QStringLiteral("/m/second.mp3")});
		QCOMPARE(QString::fromUtf8(obs_source_get_name(second)), QStringLiteral("twin"));

		Dock dock(false);
		TA::sourceUuid(*dock) = uuidOf(second);
		dock->onCollectionLoaded();
		QStringList labels = selectorLabels(*dock);
		labels.sort();
		QCOMPARE(labels, (QStringList{QStringLiteral("Twin"), QStringLiteral("twin")}));
		const QStringList uuids = selectorUuids(*dock);
		QCOMPARE(QSet<QString>(uuids.begin(), uuids.end()), (QSet<QString>{uuidOf(first), uuidOf(second)}));
		QCOMPARE(TA::sourceSelector(*dock)->currentData().toString(), uuidOf(second));
		QCOMPARE(boundUuid(*dock), uuidOf(second));
		QCOMPARE(trackPaths(*dock), QStringList{QStringLiteral("/m/second.mp3")});

		// Picking the other twin follows its uuid.
		QComboBox *combo = TA::sourceSelector(*dock);
		combo->setCurrentIndex(combo->findData(uuidOf(first)));
		QCOMPARE(boundUuid(*dock), uuidOf(first));
		QCOMPARE(trackPaths(*dock), QStringList{QStringLiteral("/m/first.mp3")});
	}

	void pickingAnEntryBindsAndRemembersIt()
	{
		OwnedSources owned;
		obs_source_t *media =
			owned.media("Media", {QStringLiteral("/m/one.mp3"), QStringLiteral("/m/two.mp3")});
		Dock dock;
		QVERIFY(!QFile::exists(dock.settingsPath())); // refreshing never writes the settings file

		QComboBox *combo = TA::sourceSelector(*dock);
		combo->setCurrentIndex(1);
		QCOMPARE(TA::sourceUuid(*dock), uuidOf(media));
		QCOMPARE(boundUuid(*dock), uuidOf(media));
		QCOMPARE(trackPaths(*dock), (QStringList{QStringLiteral("/m/one.mp3"), QStringLiteral("/m/two.mp3")}));
		QCOMPARE(readFile(dock.settingsPath()),
			 QByteArray("{\"remainingTime\":false,\"sourceUuid\":\"") + uuidOf(media).toUtf8() + "\",\"trackDurations\":false}");

		combo->setCurrentIndex(0);
		QCOMPARE(TA::sourceUuid(*dock), QString());
		QCOMPARE(boundUuid(*dock), QString());
		QVERIFY(TA::tracks(*dock).isEmpty());
		QCOMPARE(readFile(dock.settingsPath()), QByteArray("{\"remainingTime\":false,\"sourceUuid\":\"\",\"trackDurations\":false}"));
	}

	void deletedSourceEmptiesTheDock()
	{
		OwnedSources owned;
		obs_source_t *media = owned.media("Media", {QStringLiteral("/m/one.mp3")});
		owned.media("Other");
		Dock dock(false);
		TA::sourceUuid(*dock) = uuidOf(media);
		dock->onCollectionLoaded();
		QCOMPARE(TA::tracks(*dock).size(), 1);
		QVERIFY(TA::viewStates(*dock).isEmpty());
		TA::viewStates(*dock).insert(uuidOf(media), ViewState{});

		// Still referenced here, but removed by the user.
		obs_source_remove(media);
		QCOMPARE(boundUuid(*dock), QString());
		dock->refreshSourceSelector();

		QCOMPARE(selectorLabels(*dock), QStringList{QStringLiteral("Other")});
		QCOMPARE(TA::sourceSelector(*dock)->currentIndex(), 0);
		QVERIFY(TA::tracks(*dock).isEmpty());
		QVERIFY(!TA::boundSource(*dock));
		QVERIFY(!TA::mediaStoppedConnection(*dock).handler);
		QCOMPARE(TA::sourceUuid(*dock), uuidOf(media)); // remembered for when it comes back
		QVERIFY(!TA::viewStates(*dock).contains(uuidOf(media)));
	}

	void destroyedSourceEmptiesTheDock()
	{
		obs_source_t *media = standin::create("Short-lived", {QStringLiteral("/m/one.mp3")});
		Dock dock(false);
		TA::sourceUuid(*dock) = uuidOf(media);
		dock->onCollectionLoaded();
		QCOMPARE(TA::tracks(*dock).size(), 1);

		obs_source_remove(media);
		obs_source_release(media);
		// libobs frees the source on its destruction thread; the dock's connection keeps the signal
		// handler (connected with a reference), so the dock lets go of it only afterwards.
		QVERIFY(testhost::waitForDestroyQueue());
		dock->refreshSourceSelector();
		QCOMPARE(TA::sourceSelector(*dock)->count(), 1);
		QVERIFY(TA::tracks(*dock).isEmpty());
		QVERIFY(!TA::mediaStoppedConnection(*dock).handler);
	}

	// A source the dock left, still alive and ticking, no longer reaches it: its stop cannot
	// complete a switch that waits for the source the dock is bound to now.
	void leftSourceCannotCompleteTheNextSwitch()
	{
		OwnedSources owned;
		obs_source_t *left = owned.add(standin::create("Left", {QStringLiteral("/m/one.mp3")}));
		obs_source_t *next = owned.add(standin::create("Next", {QStringLiteral("/m/two.mp3")}));
		Dock dock(false);
		TA::sourceUuid(*dock) = uuidOf(left);
		dock->onCollectionLoaded();
		QCOMPARE(boundUuid(*dock), uuidOf(left));
		dock->bindSource(uuidOf(next));
		QCOMPARE(boundUuid(*dock), uuidOf(next));

		// A switch on the new source, waiting for its stop.
		obs_data_t *pending = obs_data_create();
		obs_data_set_bool(pending, "loop", false);
		{
			std::lock_guard<std::mutex> lock(TA::pendingSettingsMutex(*dock));
			TA::pendingSettings(*dock) = pending;
		}
		TA::trackSwitchPending(*dock) = true;

		obs_source_media_stop(left);
		testhost::waitForGraphicsTicks(2);
		QCoreApplication::processEvents();
		QCOMPARE(standin::of(left)->stopsOnGraphicsThread, 1);
		QVERIFY(TA::trackSwitchPending(*dock));
		{
			std::lock_guard<std::mutex> lock(TA::pendingSettingsMutex(*dock));
			QCOMPARE(TA::pendingSettings(*dock), pending);
		}
		QVERIFY(standin::updates(next).isEmpty());
		dock->cancelPendingSwitch();
	}

	void unfitSourcesAreNotBound()
	{
		OwnedSources owned;
		obs_source_t *media = owned.media("Media", {QStringLiteral("/m/one.mp3")});
		obs_source_t *still = owned.add(obs_source_create(StillTypeId, "Still", nullptr, nullptr));
		obs_scene_t *scene = owned.addScene("Scene");
		Dock dock;

		for (obs_source_t *unfit : {still, obs_scene_get_source(scene)}) {
			dock->bindSource(uuidOf(media));
			QCOMPARE(TA::tracks(*dock).size(), 1);
			dock->bindSource(uuidOf(unfit));
			QCOMPARE(boundUuid(*dock), QString());
			QVERIFY(TA::tracks(*dock).isEmpty());
			QVERIFY(!TA::boundSource(*dock));
		}
		dock->bindSource(QStringLiteral("not-a-uuid"));
		QCOMPARE(boundUuid(*dock), QString());
		QVERIFY(!hasState(still));
	}

	void refreshButtonReloadsTheBoundSource()
	{
		OwnedSources owned;
		obs_source_t *media = owned.media("Media", {QStringLiteral("/m/one.mp3")});
		Dock dock(false);
		TA::sourceUuid(*dock) = uuidOf(media);
		dock->onCollectionLoaded();
		const QStringList ids = trackIds(*dock);

		setPlaylist(media, {QStringLiteral("/m/new.mp3"), QStringLiteral("/m/newer.mp3")});
		dock->showMessage(QStringLiteral("stale problem"));
		dock->findChild<QToolButton *>(QStringLiteral("refresh"))->click();

		QCOMPARE(trackPaths(*dock),
			 (QStringList{QStringLiteral("/m/new.mp3"), QStringLiteral("/m/newer.mp3")}));
		QVERIFY(!trackIds(*dock).contains(ids.first()));
		QVERIFY(TA::messageLabel(*dock)->isHidden());
		QVERIFY(TA::messageLabel(*dock)->text().isEmpty());
	}

	void collectionSwitchRebindsTheRememberedSource()
	{
		OwnedSources owned;
		obs_source_t *media =
			standin::create("Media", {QStringLiteral("/m/one.mp3"), QStringLiteral("/m/two.mp3")});
		Dock dock(false);
		tracklane::currentDock = dock.dock.get();
		TA::sourceUuid(*dock) = uuidOf(media);
		tracklane::handleFrontendEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING, nullptr);
		QCOMPARE(boundUuid(*dock), uuidOf(media));
		const QStringList ids = trackIds(*dock);
		TA::currentTrackId(*dock) = ids.at(1);
		TA::endMode(*dock) = 1;
		dock->saveSourceState();
		QVERIFY(TA::configChangedTimer(*dock).isActive());

		// The collection goes away: the dock empties itself and stops listening.
		tracklane::handleFrontendEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGING, nullptr);
		QVERIFY(TA::suspended(*dock));
		QVERIFY(!TA::configChangedTimer(*dock).isActive());
		QVERIFY(TA::tracks(*dock).isEmpty());
		QVERIFY(!TA::boundSource(*dock));
		QCOMPARE(TA::sourceSelector(*dock)->count(), 1);
		dock->refreshSourceSelector();
		QCOMPARE(TA::sourceSelector(*dock)->count(), 1);

		// The host saves the source with the old collection and loads it with the new one.
		obs_data_t *saved = obs_save_source(media);
		obs_source_remove(media);
		obs_source_release(media);
		tracklane::handleFrontendEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CLEANUP, nullptr);
		obs_source_t *loaded = owned.add(obs_load_source(saved));
		obs_data_release(saved);
		QCOMPARE(TA::sourceSelector(*dock)->count(), 1);

		tracklane::handleFrontendEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGED, nullptr);
		QVERIFY(!TA::suspended(*dock));
		QCOMPARE(boundUuid(*dock), uuidOf(loaded));
		QCOMPARE(trackIds(*dock), ids);
		QCOMPARE(TA::currentTrackId(*dock), ids.at(1));
		QCOMPARE(TA::endMode(*dock), 1);
		QVERIFY(TA::mediaStoppedConnection(*dock).handler);
	}
};

TRACKLANE_TEST_MAIN(SourceSelectorTest)
#include "test_source_selector.moc"
