#include "test_host.hpp"
#include "frontend.hpp"
#include "stand_in_source.hpp"
#include "module/plugin-main.hpp"
#include "module/SceneSwitch.hpp"
#include "dock/Tracklane.hpp"
#include "test_access.hpp"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QFile>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <array>
#include <vector>

using testfrontend::state;

namespace {

// The ways a source can be part of a scene's tree.
enum class Placement { Direct, AllHidden, InGroup, InNestedScene, HiddenInGroupInNestedScene };

QString uuidOf(obs_source_t *source)
{
	return QString::fromUtf8(obs_source_get_uuid(source));
}

obs_source_t *sourceOf(obs_scene_t *scene)
{
	return obs_scene_get_source(scene);
}

} // namespace

Q_DECLARE_METATYPE(Placement)

class SceneSwitchTest : public QObject {
	Q_OBJECT

	std::vector<obs_source_t *> held; // strong references the test owns
	// Scenes that only nesting reaches. Since OBS 31 libobs keeps every public scene in its main
	// canvas, which holds a reference until the scene is removed, as the frontend removes its own
	// scenes when it clears a collection; releasing the test's reference alone leaves them alive.
	std::vector<obs_source_t *> looseScenes;
	std::vector<obs_weak_source_t *> watched;
	int nameCounter = 0;

	obs_source_t *watch(obs_source_t *source)
	{
		watched.push_back(obs_source_get_weak_source(source));
		return source;
	}

	obs_source_t *media(const char *name)
	{
		obs_source_t *source = standin::create(name);
		held.push_back(source);
		return watch(source);
	}

	// A scene in the frontend's scene list.
	obs_scene_t *listedScene(const char *name)
	{
		obs_scene_t *scene = testfrontend::addScene(name);
		watch(sourceOf(scene));
		return scene;
	}

	// A scene the frontend does not list; it is reachable only by nesting it somewhere.
	obs_scene_t *looseScene()
	{
		obs_scene_t *scene = obs_scene_create(qPrintable(QStringLiteral("loose-%1").arg(++nameCounter)));
		held.push_back(sourceOf(scene));
		looseScenes.push_back(sourceOf(scene));
		watch(sourceOf(scene));
		return scene;
	}

	obs_scene_t *group(obs_scene_t *parent, bool visible = true)
	{
		obs_sceneitem_t *item =
			obs_scene_add_group2(parent, qPrintable(QStringLiteral("group-%1").arg(++nameCounter)), false);
		obs_sceneitem_set_visible(item, visible);
		watch(obs_sceneitem_get_source(item));
		return obs_sceneitem_group_get_scene(item);
	}

	void nest(obs_scene_t *parent, obs_scene_t *child) { QVERIFY(obs_scene_add(parent, sourceOf(child))); }

	void place(obs_scene_t *scene, obs_source_t *source, Placement placement)
	{
		switch (placement) {
		case Placement::Direct:
			QVERIFY(obs_scene_add(scene, source));
			break;
		case Placement::AllHidden:
			for (int i = 0; i < 2; ++i) {
				obs_sceneitem_t *item = obs_scene_add(scene, source);
				QVERIFY(item);
				obs_sceneitem_set_visible(item, false);
			}
			break;
		case Placement::InGroup:
			QVERIFY(obs_scene_add(group(scene), source));
			break;
		case Placement::InNestedScene: {
			obs_scene_t *inner = looseScene();
			QVERIFY(obs_scene_add(inner, source));
			nest(scene, inner);
			break;
		}
		case Placement::HiddenInGroupInNestedScene: {
			obs_scene_t *inner = looseScene();
			obs_sceneitem_t *item = obs_scene_add(group(inner, false), source);
			QVERIFY(item);
			obs_sceneitem_set_visible(item, false);
			nest(scene, inner);
			break;
		}
		}
	}

	static void addPlacementRows()
	{
		QTest::addColumn<Placement>("placement");
		QTest::newRow("direct") << Placement::Direct;
		QTest::newRow("all items hidden") << Placement::AllHidden;
		QTest::newRow("inside a group") << Placement::InGroup;
		QTest::newRow("inside a nested scene") << Placement::InNestedScene;
		QTest::newRow("hidden in a hidden group of a nested scene") << Placement::HiddenInGroupInNestedScene;
	}

	static bool contains(obs_scene_t *scene, obs_source_t *target)
	{
		QSet<obs_source_t *> visited;
		return sceneTreeContainsSource(sourceOf(scene), target, visited);
	}

	static QStringList namesOf(const QList<obs_source_t *> &sources)
	{
		QStringList names;
		for (obs_source_t *source : sources)
			names << QString::fromUtf8(obs_source_get_name(source));
		return names;
	}

	static void releaseAll(const QList<obs_source_t *> &sources)
	{
		for (obs_source_t *source : sources)
			obs_source_release(source);
	}

	static QString currentSceneName()
	{
		return state().currentScene ? QString::fromUtf8(obs_source_get_name(state().currentScene)) : QString();
	}

	static QString previewSceneName()
	{
		return state().previewScene ? QString::fromUtf8(obs_source_get_name(state().previewScene)) : QString();
	}

private Q_SLOTS:
	void init()
	{
		testfrontend::reset();
		testhost::clearLog();
	}

	// Every test leaves libobs as it found it: whatever the module referenced is released again,
	// and the module wrote nothing to the log.
	void cleanup()
	{
		for (obs_source_t *source : looseScenes)
			obs_source_remove(source);
		looseScenes.clear();
		for (obs_source_t *source : held)
			obs_source_release(source);
		held.clear();
		testfrontend::reset();

		// Destroying a scene releases its items on libobs' destroy thread, one nesting level at a time.
		auto allExpired = [this]() {
			for (obs_weak_source_t *weak : watched)
				if (!obs_weak_source_expired(weak))
					return false;
			return true;
		};
		(void)QTest::qWaitFor(
			[&]() {
				obs_wait_for_destroy_queue();
				return allExpired();
			},
			10000);
		QStringList alive;
		for (obs_weak_source_t *weak : watched) {
			if (obs_source_t *source = obs_weak_source_get_source(weak)) {
				alive << QString::fromUtf8(obs_source_get_name(source));
				obs_source_release(source);
			}
			obs_weak_source_release(weak);
		}
		watched.clear();
		QVERIFY2(alive.isEmpty(), qPrintable(QStringLiteral("still referenced: ") + alive.join(u", ")));
		QCOMPARE(testhost::logLinesContaining(QStringLiteral("[OBS-Tracklane]")), QStringList());
	}

	// --- Containment search ---------------------------------------------------------------

	void containmentFindsEveryPlacement_data() { addPlacementRows(); }
	void containmentFindsEveryPlacement()
	{
		QFETCH(Placement, placement);
		obs_source_t *music = media("music");
		obs_source_t *other = media("other");
		obs_scene_t *scene = looseScene();
		place(scene, music, placement);
		obs_scene_add(scene, other);

		QVERIFY(contains(scene, music));
		QVERIFY(contains(scene, other));
		QVERIFY(!contains(looseScene(), music));

		// Every scene and group entered is remembered; leaves are not.
		QSet<obs_source_t *> visited;
		QVERIFY(!sceneTreeContainsSource(sourceOf(scene), media("elsewhere"), visited));
		QVERIFY(visited.contains(sourceOf(scene)));
		QVERIFY(!visited.contains(music));
		QVERIFY(!visited.contains(other));
		const int expectedEntered = placement == Placement::Direct || placement == Placement::AllHidden ? 1
					    : placement == Placement::HiddenInGroupInNestedScene                ? 3
														: 2;
		QCOMPARE(visited.size(), expectedEntered);
	}

	void containmentOfLeavesAndSelf()
	{
		obs_source_t *music = media("music");
		obs_scene_t *scene = looseScene();
		QSet<obs_source_t *> visited;

		QVERIFY(sceneTreeContainsSource(music, music, visited));
		QVERIFY(!sceneTreeContainsSource(music, media("other"), visited));
		QVERIFY(sceneTreeContainsSource(sourceOf(scene), sourceOf(scene), visited));
		QVERIFY(visited.isEmpty());

		QVERIFY(!sceneTreeContainsSource(sourceOf(scene), music, visited));
		QCOMPARE(visited, QSet<obs_source_t *>{sourceOf(scene)});
	}

	void containmentSkipsScenesAlreadyVisited()
	{
		obs_source_t *music = media("music");
		obs_scene_t *outer = looseScene();
		obs_scene_t *inner = looseScene();
		QVERIFY(obs_scene_add(inner, music));
		nest(outer, inner);

		QSet<obs_source_t *> visited{sourceOf(inner)};
		QVERIFY(!sceneTreeContainsSource(sourceOf(outer), music, visited));

		visited = {sourceOf(outer)};
		QVERIFY(!sceneTreeContainsSource(sourceOf(outer), music, visited));
		// A direct hit needs no entering, so it still counts.
		QVERIFY(sceneTreeContainsSource(music, music, visited));
	}

	// libobs refuses nesting cycles, so the deepest chain it accepts stands in for them; the
	// attempts to close the chain into a loop stay in, in case a libobs version lets one through.
	void deepNestingIsSearchedToTheBottom()
	{
		constexpr int depth = 1000;
		obs_source_t *music = media("music");
		std::vector<obs_scene_t *> chain;
		chain.push_back(looseScene());
		QVERIFY(obs_scene_add(chain.back(), music));
		for (int i = 1; i < depth; ++i) {
			obs_scene_t *parent = looseScene();
			nest(parent, chain.back());
			chain.push_back(parent);
		}
		obs_scene_t *top = chain.back();
		obs_scene_t *bottom = chain.front();
		obs_scene_add(bottom, sourceOf(top));
		obs_scene_add(bottom, sourceOf(bottom));
		obs_scene_add(chain[depth / 2], sourceOf(chain[depth / 2 + 1]));

		QSet<obs_source_t *> visited;
		QVERIFY(sceneTreeContainsSource(sourceOf(top), music, visited));
		QCOMPARE(visited.size(), depth);

		visited.clear();
		QVERIFY(!sceneTreeContainsSource(sourceOf(top), media("absent"), visited));
		QCOMPARE(visited.size(), depth);
		QVERIFY(contains(chain[depth / 2], music));
	}

	// Two scenes per level, each holding both scenes of the level below: 2^levels paths lead to
	// the bottom, so only a search that enters each scene once comes back.
	void sharedSubScenesAreSearchedOnce()
	{
		constexpr int levels = 48;
		std::vector<std::array<obs_scene_t *, 2>> lattice(levels);
		for (auto &level : lattice)
			level = {looseScene(), looseScene()};
		// Linked from the top down, so that libobs' own recursion check on each add sees an
		// empty child.
		for (int i = 0; i + 1 < levels; ++i)
			for (obs_scene_t *parent : lattice[i])
				for (obs_scene_t *child : lattice[i + 1])
					nest(parent, child);
		obs_source_t *music = media("music");
		QVERIFY(obs_scene_add(group(lattice[levels - 1][1], false), music));

		QSet<obs_source_t *> visited;
		QVERIFY(!sceneTreeContainsSource(sourceOf(lattice[0][0]), media("absent"), visited));
		// The top scene, both scenes of every level below it, and the group.
		QCOMPARE(visited.size(), 1 + 2 * (levels - 1) + 1);

		// The first hit ends the search: down the first column, across at the bottom, into the group.
		visited.clear();
		QVERIFY(sceneTreeContainsSource(sourceOf(lattice[0][0]), music, visited));
		QCOMPARE(visited.size(), levels + 2);
	}

	// --- Scenes containing a source -------------------------------------------------------

	void containingScenesFollowTheFrontendOrder()
	{
		obs_source_t *music = media("music");
		obs_scene_t *a = listedScene("A");
		obs_scene_t *b = listedScene("B");
		obs_scene_t *c = listedScene("C");
		obs_scene_t *d = listedScene("D");
		obs_scene_t *e = listedScene("E");
		obs_scene_add(a, media("other"));
		place(b, music, Placement::InGroup);
		place(c, music, Placement::InNestedScene);
		place(d, music, Placement::AllHidden);
		place(e, music, Placement::Direct);
		place(looseScene(), music, Placement::Direct);
		obs_source_remove(sourceOf(e));

		QList<obs_source_t *> found = scenesContainingSource(music);
		QCOMPARE(namesOf(found), (QStringList{"B", "C", "D"}));
		releaseAll(found);

		// A scene counts as containing itself, and so do the scenes that nest it.
		nest(d, b);
		found = scenesContainingSource(sourceOf(b));
		QCOMPARE(namesOf(found), (QStringList{"B", "D"}));
		releaseAll(found);

		QVERIFY(scenesContainingSource(media("nowhere")).isEmpty());
	}

	void containingScenesAreHeldUntilReleased()
	{
		obs_source_t *music = media("music");
		obs_scene_t *a = listedScene("A");
		listedScene("B");
		obs_scene_t *c = listedScene("C");
		place(a, music, Placement::Direct);
		place(c, music, Placement::InGroup);

		const QList<obs_source_t *> found = scenesContainingSource(music);
		QCOMPARE(namesOf(found), (QStringList{"A", "C"}));

		// With the frontend's own references gone, only the returned ones keep the scenes.
		testfrontend::reset();
		for (obs_source_t *scene : found) {
			QVERIFY(obs_source_removed(scene));
			obs_weak_source_t *weak = obs_source_get_weak_source(scene);
			QVERIFY(!obs_weak_source_expired(weak));
			obs_source_release(scene);
			QVERIFY(obs_weak_source_expired(weak));
			obs_weak_source_release(weak);
		}
	}

	// --- Switching on request -------------------------------------------------------------

	void requestsThatMatchNoSceneChangeNothing()
	{
		obs_scene_t *main = listedScene("Main");
		obs_scene_t *other = listedScene("Other");
		obs_scene_add(main, media("background"));
		obs_scene_add(other, media("jingle"));
		obs_source_t *unplaced = media("unplaced");
		obs_source_t *inLooseScene = media("inLooseScene");
		place(looseScene(), inLooseScene, Placement::Direct);
		testfrontend::setCurrentScene(sourceOf(main));

		const QStringList requests{QUuid::createUuid().toString(QUuid::WithoutBraces),
					   QString(),
					   QStringLiteral("not a uuid"),
					   QStringLiteral("{") + uuidOf(unplaced) + QStringLiteral("}"),
					   uuidOf(unplaced).toUpper(),
					   uuidOf(unplaced),
					   uuidOf(inLooseScene)};
		for (const QString &request : requests)
			switchToSceneShowingSource(request);

		QCOMPARE(state().setSceneCalls, QStringList());
		QCOMPARE(currentSceneName(), QStringLiteral("Main"));
	}

	void uniqueOtherSceneBecomesCurrent_data() { addPlacementRows(); }
	void uniqueOtherSceneBecomesCurrent()
	{
		QFETCH(Placement, placement);
		obs_source_t *music = media("music");
		obs_scene_t *main = listedScene("Main");
		listedScene("Empty");
		obs_scene_t *other = listedScene("Other");
		obs_scene_add(main, media("background"));
		place(other, music, placement);
		testfrontend::setCurrentScene(sourceOf(main));

		switchToSceneShowingSource(uuidOf(music));

		QCOMPARE(state().setSceneCalls, QStringList{"program:Other"});
		QCOMPARE(currentSceneName(), QStringLiteral("Other"));

		// Now on screen: a second request leaves it there.
		switchToSceneShowingSource(uuidOf(music));
		QCOMPARE(state().setSceneCalls, QStringList{"program:Other"});
	}

	void sourceOnScreenKeepsTheScene_data() { addPlacementRows(); }
	void sourceOnScreenKeepsTheScene()
	{
		QFETCH(Placement, placement);
		obs_source_t *music = media("music");
		obs_scene_t *main = listedScene("Main");
		obs_scene_t *other = listedScene("Other");
		place(main, music, placement);
		place(other, music, Placement::Direct);
		testfrontend::setCurrentScene(sourceOf(main));

		switchToSceneShowingSource(uuidOf(music));

		QCOMPARE(state().setSceneCalls, QStringList());
		QCOMPARE(currentSceneName(), QStringLiteral("Main"));
	}

	void ambiguousPlacementSwitchesNowhere()
	{
		obs_source_t *music = media("music");
		obs_scene_t *main = listedScene("Main");
		obs_scene_t *first = listedScene("First");
		obs_scene_t *second = listedScene("Second");
		place(first, music, Placement::Direct);
		place(second, music, Placement::InNestedScene);
		testfrontend::setCurrentScene(sourceOf(main));
		switchToSceneShowingSource(uuidOf(music));
		QCOMPARE(state().setSceneCalls, QStringList());

		// One placement, but the scene holding it is itself listed and nested in another: two
		// listed scenes show it, so there is still no single answer.
		obs_source_t *jingle = media("jingle");
		obs_scene_t *sub = listedScene("Sub");
		obs_scene_t *outer = listedScene("Outer");
		place(sub, jingle, Placement::Direct);
		nest(outer, sub);
		switchToSceneShowingSource(uuidOf(jingle));

		QCOMPARE(state().setSceneCalls, QStringList());
		QCOMPARE(currentSceneName(), QStringLiteral("Main"));
	}

	void withoutCurrentSceneTheUniqueSceneIsTaken()
	{
		obs_source_t *music = media("music");
		obs_source_t *jingle = media("jingle");
		obs_scene_t *first = listedScene("First");
		obs_scene_t *second = listedScene("Second");
		place(first, jingle, Placement::Direct);
		place(second, jingle, Placement::Direct);
		place(second, music, Placement::InGroup);
		QVERIFY(!state().currentScene);

		switchToSceneShowingSource(uuidOf(jingle));
		QCOMPARE(state().setSceneCalls, QStringList());

		switchToSceneShowingSource(uuidOf(music));
		QCOMPARE(state().setSceneCalls, QStringList{"program:Second"});
	}

	void studioModeWorksOnThePreview()
	{
		obs_source_t *music = media("music");
		obs_source_t *onProgram = media("onProgram");
		obs_source_t *onPreview = media("onPreview");
		obs_scene_t *program = listedScene("Program");
		obs_scene_t *preview = listedScene("Preview");
		obs_scene_t *other = listedScene("Other");
		place(program, onProgram, Placement::Direct);
		place(preview, onPreview, Placement::InNestedScene);
		place(other, onPreview, Placement::Direct);
		place(other, music, Placement::Direct);
		state().studioMode = true;
		testfrontend::setCurrentScene(sourceOf(program));
		testfrontend::setPreviewScene(sourceOf(preview));

		switchToSceneShowingSource(uuidOf(onPreview));
		QCOMPARE(state().setSceneCalls, QStringList());

		switchToSceneShowingSource(uuidOf(music));
		QCOMPARE(state().setSceneCalls, QStringList{"preview:Other"});
		QCOMPARE(previewSceneName(), QStringLiteral("Other"));

		// What is on program does not count as on screen; its scene goes to the preview.
		switchToSceneShowingSource(uuidOf(onProgram));
		QCOMPARE(state().setSceneCalls, (QStringList{"preview:Other", "preview:Program"}));
		QCOMPARE(currentSceneName(), QStringLiteral("Program"));

		testfrontend::setPreviewScene(nullptr);
		switchToSceneShowingSource(uuidOf(music));
		QCOMPARE(state().setSceneCalls.last(), QStringLiteral("preview:Other"));
		QCOMPARE(currentSceneName(), QStringLiteral("Program"));
	}

	void requestForASceneBringsUpThatScene()
	{
		obs_scene_t *main = listedScene("Main");
		obs_scene_t *stage = listedScene("Stage");
		obs_scene_t *nested = listedScene("Nested");
		obs_scene_add(stage, media("camera"));
		testfrontend::setCurrentScene(sourceOf(main));

		switchToSceneShowingSource(uuidOf(sourceOf(stage)));
		QCOMPARE(state().setSceneCalls, QStringList{"program:Stage"});

		switchToSceneShowingSource(uuidOf(sourceOf(stage)));
		QCOMPARE(state().setSceneCalls, QStringList{"program:Stage"});

		nest(stage, nested);
		testfrontend::setCurrentScene(sourceOf(main));
		switchToSceneShowingSource(uuidOf(sourceOf(nested)));
		QCOMPARE(state().setSceneCalls, QStringList{"program:Stage"});
	}

	// --- Through the loaded module --------------------------------------------------------

	// Starts where the dock ends a track switch: its sceneSwitchRequested signal, through the
	// connection the module load made.
	void dockRequestSwitchesTheScene()
	{
		obs_source_t *music = media("music");
		obs_scene_t *main = listedScene("Main");
		obs_scene_t *other = listedScene("Other");
		obs_scene_add(main, media("background"));
		place(other, music, Placement::InGroup);
		testfrontend::setCurrentScene(sourceOf(main));

		QVERIFY(obs_module_load());
		QVERIFY(tracklane::currentDock);
		QCOMPARE(state().docks.size(), size_t(1));
		QCOMPARE(state().docks.front().widget.data(), static_cast<QWidget *>(tracklane::currentDock.data()));
		// The module's settings go to the test's own config folder, never into the build tree.
		const QFileInfo settingsFile(TA::settingsPath(*tracklane::currentDock));
		QVERIFY(settingsFile.isAbsolute());
		QVERIFY(!settingsFile.absoluteFilePath().startsWith(QDir::currentPath() + QLatin1Char('/')));
		testhost::clearLog();

		Q_EMIT tracklane::currentDock->sceneSwitchRequested(uuidOf(music));
		QCOMPARE(state().setSceneCalls, QStringList{"program:Other"});
		QCOMPARE(currentSceneName(), QStringLiteral("Other"));

		Q_EMIT tracklane::currentDock->sceneSwitchRequested(QUuid::createUuid().toString(QUuid::WithoutBraces));
		QCOMPARE(state().setSceneCalls, QStringList{"program:Other"});

		obs_module_unload();
		QVERIFY(!tracklane::currentDock);
		QVERIFY(state().docks.empty());
	}

	void doubleClickBringsUpTheSceneAfterTheSwitch()
	{
		QTemporaryDir dir;
		const QString track = dir.filePath(QStringLiteral("song.wav"));
		{
			QFile file(track);
			QVERIFY(file.open(QIODevice::WriteOnly));
			file.write("RIFF");
		}
		obs_source_t *music = watch(standin::create("music", {track}));
		held.push_back(music);
		obs_scene_t *main = listedScene("Main");
		obs_scene_t *other = listedScene("Other");
		obs_scene_add(main, media("background"));
		place(other, music, Placement::Direct);
		testfrontend::setCurrentScene(sourceOf(main));

		QVERIFY(obs_module_load());
		testhost::clearLog();
		Tracklane *dock = tracklane::currentDock.data();
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);
		QComboBox *selector = TA::sourceSelector(*dock);
		const int index = selector->findData(uuidOf(music));
		QVERIFY(index > 0);
		selector->setCurrentIndex(index); // the operator picks the source
		QListWidget *list = TA::trackList(*dock);
		QCOMPARE(list->count(), 1);

		dock->resize(920, 300);
		dock->show();
		QVERIFY(QTest::qWaitForWindowExposed(dock));
		const QPoint row = list->visualItemRect(list->item(0)).center();
		// An item view acts on a double click only after the press that precedes it.
		QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row);
		QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, row);

		// The scene changes only once the source has taken the track.
		QVERIFY(TA::trackSwitchPending(*dock));
		QVERIFY(state().setSceneCalls.isEmpty());
		QVERIFY(QTest::qWaitFor([&]() { return !TA::trackSwitchPending(*dock); }, 5000));
		QCOMPARE(standin::playlistOf(music), QStringList{track});
		QCOMPARE(state().setSceneCalls, QStringList{"program:Other"});
		QCOMPARE(currentSceneName(), QStringLiteral("Other"));

		obs_module_unload();
	}
};

TRACKLANE_TEST_MAIN(SceneSwitchTest)
#include "test_scene_switch.moc"
