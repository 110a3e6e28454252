// A randomized soak: thousands of operator and host actions against stand-in media sources, with
// media_stopped arriving from libobs's graphics thread either while the dock is still acting or
// only after it is done (the graphics thread is held for a step at random). Seeded and bounded:
// TRACKLANE_SOAK_SEED and TRACKLANE_SOAK_STEPS choose the run, and a failure names the seed and
// the step, so that it can be replayed.

#include "test_host.hpp"
#include "graphics_hold.hpp"
#include "test_access.hpp"
#include "stand_in_source.hpp"
#include "dock_invariants.hpp"
#include "module/plugin-main.hpp"

#include <obs.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <QUrl>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace {

// What the dock may have written into one source: its settings, the dock's saved state and the
// number of updates the source received. Only taken while the graphics thread is quiet.
struct Snapshot {
	QString settings;
	QString state;
	qsizetype updates = 0;
	bool operator==(const Snapshot &o) const
	{
		return settings == o.settings && state == o.state && updates == o.updates;
	}
};

Snapshot snapshotOf(obs_source_t *source)
{
	Snapshot s;
	obs_data_t *settings = obs_source_get_settings(source);
	s.settings = QString::fromUtf8(obs_data_get_json(settings));
	obs_data_release(settings);
	obs_data_t *priv = obs_source_get_private_settings(source);
	obs_data_t *state = obs_data_get_obj(priv, "OBS-Tracklane");
	s.state = state ? QString::fromUtf8(obs_data_get_json(state)) : QString();
	obs_data_release(state);
	obs_data_release(priv);
	s.updates = standin::updates(source).size();
	return s;
}

QByteArray fileDigest(const QString &path)
{
	QFile file(path);
	if (!file.open(QIODevice::ReadOnly))
		return QByteArrayLiteral("<none>");
	return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1);
}

enum Action {
	Add,
	Remove,
	Undo,
	Move,
	Drag,
	Filter,
	Load,
	PlayPause,
	Next,
	Previous,
	Stop,
	Restore,
	EndOfTrack,
	EndModeChange,
	Rebind,
	Refresh,
	CollectionChanging,
	CollectionChanged,
	OutsideEdit,
	SourceRemoval,
	HostStop,
	HostState,
	PollTick,
	TimeDisplay,
	Exit,
	ActionCount
};

const char *actionName(int a)
{
	static const char *names[] = {"add",
				      "remove",
				      "undo",
				      "move",
				      "drag",
				      "filter",
				      "load",
				      "play/pause",
				      "next",
				      "previous",
				      "stop",
				      "restore",
				      "end of track",
				      "end mode",
				      "rebind",
				      "refresh",
				      "collection changing",
				      "collection changed",
				      "outside edit",
				      "source removal",
				      "host stop",
				      "host state",
				      "poll tick",
				      "time display",
				      "exit"};
	static_assert(sizeof(names) / sizeof(names[0]) == ActionCount);
	return names[a];
}

class Soak {
public:
	Soak(quint32 seed) : rng(seed)
	{
		for (int i = 0; i < 6; ++i) {
			const QString path = media.filePath(QStringLiteral("track %1.mp3").arg(i));
			QFile file(path);
			if (file.open(QIODevice::WriteOnly))
				file.write("x");
			pool << path;
		}
		pool << media.filePath(QStringLiteral("missing.mp3"))
		     << QUrl::fromLocalFile(media.filePath(QStringLiteral("track 1.mp3"))).toString()
		     << QStringLiteral("https://example.org/live/stream") << media.path();
		for (int i = 0; i < 3; ++i)
			addSource();
		startDock();
	}

	~Soak()
	{
		dock.reset();
		probe.reset();
		tracklane::currentDock = nullptr;
		for (obs_source_t *source : sources) {
			obs_source_remove(source);
			obs_source_release(source);
		}
	}

	// One step: one or two actions, perhaps with the graphics thread held, then the checks.
	// Returns what broke, or an empty string.
	QString step()
	{
		bool settleAfter = rng.bounded(4) == 0;
		const bool holdGraphics = settleAfter && rng.bounded(3) == 0;
		const int actions = rng.bounded(4) == 0 ? 2 : 1;

		GraphicsHold hold;
		if (holdGraphics && !hold.hold())
			return QStringLiteral("the graphics thread could not be held");
		graphicsHeld = holdGraphics;

		noteBound();
		for (int i = 0; i < actions; ++i) {
			last = pickAction();
			act(last);
			if (!actionFailure.isEmpty())
				return std::exchange(actionFailure, QString());
			noteBound();
			if (QString broken = invariants::listMismatch(*dock); !broken.isEmpty())
				return broken;
			// What exit leaves behind is the reference for every later step.
			if (exitSnapshotDue) {
				settleAfter = true;
				break;
			}
		}

		if (!settleAfter)
			return QString();

		std::map<obs_source_t *, Snapshot> held;
		if (holdGraphics) {
			held = snapshotAll();
			hold.release();
			graphicsHeld = false;
		}
		testhost::waitForGraphicsTicks(2);
		QCoreApplication::processEvents();

		QString broken = checkWrites(held);
		if (broken.isEmpty())
			broken = checkSettled();
		// The next window starts from here.
		window = snapshotAll();
		if (exitSnapshotDue) {
			exitedAt = window;
			exitSnapshotDue = false;
		}
		allowed.clear();
		return broken;
	}

	const char *lastAction() const { return actionName(last); }
	Tracklane &theDock() { return *dock; }
	void settleFirst()
	{
		testhost::waitForGraphicsTicks(2);
		window = snapshotAll();
	}

private:
	int pickAction()
	{
		// After exit only a restart brings a dock back; until then the operator and the host go on.
		if (exited && rng.bounded(10) == 0)
			return -1;
		if (TA::suspended(*dock) && !exited && rng.bounded(3) == 0)
			return CollectionChanged;
		return int(rng.bounded(ActionCount));
	}

	obs_source_t *randomSource() { return sources.empty() ? nullptr : sources[rng.bounded(int(sources.size()))]; }

	QStringList randomPaths(int max)
	{
		QStringList paths;
		const int n = rng.bounded(max + 1);
		for (int i = 0; i < n; ++i)
			paths << pool[rng.bounded(int(pool.size()))];
		return paths;
	}

	QString randomTrackId()
	{
		const QList<TrackEntry> &tracks = TA::tracks(*dock);
		if (tracks.isEmpty() || rng.bounded(8) == 0)
			return QStringLiteral("no-such-id");
		return tracks[rng.bounded(int(tracks.size()))].id;
	}

	void selectRandomRow()
	{
		QListWidget *list = TA::trackList(*dock);
		if (list->count() == 0)
			return;
		list->setCurrentRow(rng.bounded(list->count()), QItemSelectionModel::ClearAndSelect);
	}

	void addSource()
	{
		const QByteArray name = QStringLiteral("media %1").arg(nextSourceNumber++).toUtf8();
		obs_source_t *source = standin::create(name.constData(), randomPaths(4));
		sources.push_back(source);
	}

	void removeSource(obs_source_t *source)
	{
		sources.erase(std::find(sources.begin(), sources.end(), source));
		// A new source may reuse the address: forget everything known under it.
		window.erase(source);
		exitedAt.erase(source);
		allowed.remove(source);
		testWrote.remove(source);
		obs_source_remove(source);
		obs_source_release(source);
	}

	QString dockSettingsPath() const { return settingsDir.filePath(QStringLiteral("config/settings.json")); }

	void startDock()
	{
		tracklane::exiting = false;
		exited = false;
		dock = std::make_unique<Tracklane>(dockSettingsPath(), nullptr);
		TA::pollTimer(*dock).stop();
		QObject::connect(dock.get(), &Tracklane::configurationChanged, [this]() { ++configChanges; });
		tracklane::currentDock = dock.get();
		if (!probe) {
			probe = std::make_unique<Tracklane>(QString(), nullptr);
			TA::pollTimer(*probe).stop();
		}
		tracklane::handleFrontendEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING, nullptr);
	}

	void act(int action)
	{
		QListWidget *list = TA::trackList(*dock);
		switch (action) {
		case -1:
			// Restart after exit: a new dock reads what the old one left behind.
			dock.reset();
			startDock();
			break;
		case Add:
			dock->appendTracks(randomPaths(3));
			break;
		case Remove: {
			list->clearSelection();
			const int picks = 1 + rng.bounded(3);
			for (int i = 0; i < picks && list->count() > 0; ++i)
				list->item(rng.bounded(list->count()))->setSelected(true);
			dock->removeSelectedTracks();
			break;
		}
		case Undo:
			dock->undoLastRemoval();
			break;
		case Move: {
			selectRandomRow();
			const int row = list->currentRow();
			const int offsets[] = {-1, +1, -row, list->count() - row - 1};
			dock->moveCurrentTrack(offsets[rng.bounded(4)]);
			break;
		}
		case Drag: {
			// A drag-and-drop reorder as the view does it: a row move in the model.
			if (list->count() < 2 || !list->dragEnabled())
				break;
			const int from = rng.bounded(list->count());
			const int to = rng.bounded(list->count() + 1);
			list->model()->moveRow(QModelIndex(), from, QModelIndex(), to);
			break;
		}
		case Filter: {
			static const QString texts[] = {QString(),
							QStringLiteral("track"),
							QStringLiteral("1"),
							QStringLiteral("#2"),
							QStringLiteral("#0"),
							QStringLiteral("zzz"),
							QString()};
			TA::searchEdit(*dock)->setText(texts[rng.bounded(7)]);
			break;
		}
		case Load:
			dock->loadTrack(randomTrackId(), rng.bounded(2) == 0);
			break;
		case PlayPause:
			if (rng.bounded(2) == 0)
				selectRandomRow();
			dock->togglePlayPause();
			break;
		case Next:
			dock->playNext();
			break;
		case Previous:
			dock->playPrevious();
			break;
		case Stop:
			dock->stopPlayback();
			break;
		case Restore:
			dock->restorePlaylist();
			break;
		case EndOfTrack:
			if (OBSSourceAutoRelease source = dock->resolveBoundSource()) {
				standin::setState(source, OBS_MEDIA_STATE_PLAYING);
				// As if the track had been playing for a while.
				TA::playStartTimer(*dock).invalidate();
				dock->pollTick();
				standin::setState(source, OBS_MEDIA_STATE_ENDED);
				dock->pollTick();
			}
			break;
		case EndModeChange:
			TA::endModeCombo(*dock)->setCurrentIndex(rng.bounded(3));
			break;
		case Rebind: {
			QComboBox *combo = TA::sourceSelector(*dock);
			combo->setCurrentIndex(rng.bounded(combo->count()));
			break;
		}
		case Refresh:
			dock->onRefreshClicked();
			break;
		case CollectionChanging:
			tracklane::handleFrontendEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGING, nullptr);
			if (rng.bounded(2) == 0) {
				// Another collection: other sources.
				while (!sources.empty())
					removeSource(sources.back());
				for (int i = 0; i < 3; ++i)
					addSource();
			}
			break;
		case CollectionChanged:
			tracklane::handleFrontendEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGED, nullptr);
			break;
		case OutsideEdit:
			if (obs_source_t *source = randomSource()) {
				const QStringList paths = randomPaths(4);
				// libobs reads a source's settings on its graphics thread (in deferred updates)
				// with no lock against the UI thread, where the host's properties window writes
				// them. That race is libobs's own; the test's edit is made while the graphics
				// thread is parked, so that it does not stand in for a fault of the dock.
				GraphicsHold park;
				if (!graphicsHeld && !park.hold()) {
					actionFailure = QStringLiteral(
						"the graphics thread could not be held for an outside edit");
					break;
				}
				standin::setPlaylist(source, paths);
				testWrote.insert(source);
			}
			break;
		case SourceRemoval:
			if (obs_source_t *source = randomSource()) {
				removeSource(source);
				addSource();
			}
			break;
		case HostStop:
			// The source's own controls: media_stopped comes from the graphics thread.
			if (obs_source_t *source = randomSource())
				obs_source_media_stop(source);
			break;
		case HostState: {
			static const obs_media_state states[] = {OBS_MEDIA_STATE_PLAYING, OBS_MEDIA_STATE_PAUSED,
								 OBS_MEDIA_STATE_STOPPED, OBS_MEDIA_STATE_ENDED,
								 OBS_MEDIA_STATE_ERROR};
			if (obs_source_t *source = randomSource())
				standin::setState(source, states[rng.bounded(5)]);
			break;
		}
		case PollTick:
			if (rng.bounded(2) == 0)
				TA::pollTickCount(*dock) = 3; // the next tick is a slow one
			dock->pollTick();
			break;
		case TimeDisplay:
			dock->toggleTimeDisplay();
			break;
		case Exit:
			if (!exited) {
				tracklane::handleFrontendEvent(OBS_FRONTEND_EVENT_EXIT, nullptr);
				exited = true;
				exitSnapshotDue = true;
				exitedAt.clear();
				dockSettingsAtExit = fileDigest(dockSettingsPath());
				configChangesAtExit = configChanges;
			}
			break;
		}
	}

	void noteBound()
	{
		if (OBSSourceAutoRelease source = dock->resolveBoundSource()) {
			allowed.insert(source);
		}
	}

	std::map<obs_source_t *, Snapshot> snapshotAll()
	{
		std::map<obs_source_t *, Snapshot> out;
		for (obs_source_t *source : sources)
			out[source] = snapshotOf(source);
		return out;
	}

	QString nameOf(obs_source_t *source) { return QString::fromUtf8(obs_source_get_name(source)); }

	// No write reaches a source the dock was not bound to during the window; with the graphics
	// thread held, nothing reaches any source but the one bound at the end once it runs again;
	// after exit nothing is written at all.
	QString checkWrites(const std::map<obs_source_t *, Snapshot> &held)
	{
		OBSSourceAutoRelease boundNow = dock->resolveBoundSource();
		QString broken;
		for (obs_source_t *source : sources) {
			const Snapshot now = snapshotOf(source);
			const bool byTest = testWrote.contains(source);
			const auto before = window.find(source);
			if (before != window.end() && !byTest && !allowed.contains(source) && !(before->second == now))
				broken = QStringLiteral("%1 was written while the dock was not bound to it")
						 .arg(nameOf(source));
			const auto h = held.find(source);
			if (broken.isEmpty() && h != held.end() && source != boundNow && !byTest &&
			    !(h->second.settings == now.settings && h->second.state == now.state))
				broken = QStringLiteral("%1 was written by the graphics thread after the dock left it")
						 .arg(nameOf(source));
			// The test's own edits move the reference it holds for after exit.
			if (exited && byTest && exitedAt.count(source))
				exitedAt[source] = now;
			if (broken.isEmpty() && exited && !byTest) {
				const auto e = exitedAt.find(source);
				if (e != exitedAt.end() && !(e->second == now))
					broken = QStringLiteral("%1 was written after exit: %2 %3 %4 -> %5 %6 %7")
							 .arg(nameOf(source), e->second.settings, e->second.state)
							 .arg(e->second.updates)
							 .arg(now.settings, now.state)
							 .arg(now.updates);
			}
			if (!broken.isEmpty())
				break;
		}
		testWrote.clear();
		if (broken.isEmpty() && exited && fileDigest(dockSettingsPath()) != dockSettingsAtExit)
			broken = QStringLiteral("the dock settings file was written after exit");
		if (broken.isEmpty() && exited && configChanges != configChangesAtExit)
			broken = QStringLiteral("a collection save was asked for after exit");
		return broken;
	}

	QString checkSettled()
	{
		OBSSourceAutoRelease bound = dock->resolveBoundSource();
		QString broken;
		bool pendingSettings;
		{
			std::lock_guard<std::mutex> lock(TA::pendingSettingsMutex(*dock));
			pendingSettings = TA::pendingSettings(*dock) != nullptr;
		}
		// The stand-in always stops within a tick: a switch still pending now lost its stop.
		if (bound && (TA::trackSwitchPending(*dock) || pendingSettings))
			broken = QStringLiteral("a switch is still pending after its source stopped");
		if (broken.isEmpty() && bound && TA::observedPlaylist(*dock) == invariants::sourcePlaylist(bound))
			broken = invariants::reloadMismatch(*dock, *probe, bound);
		return broken;
	}

	QRandomGenerator rng;
	QTemporaryDir media;
	QTemporaryDir settingsDir;
	QStringList pool;
	std::vector<obs_source_t *> sources;
	int nextSourceNumber = 0;
	std::unique_ptr<Tracklane> dock;
	std::unique_ptr<Tracklane> probe;
	std::map<obs_source_t *, Snapshot> window;
	std::map<obs_source_t *, Snapshot> exitedAt;
	QSet<obs_source_t *> allowed;
	QSet<obs_source_t *> testWrote;
	QByteArray dockSettingsAtExit;
	int configChanges = 0;
	int configChangesAtExit = 0;
	bool exited = false;
	bool exitSnapshotDue = false;
	int last = 0;
	bool graphicsHeld = false;
	QString actionFailure;
};

} // namespace

class SoakTest : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void randomActionsKeepTheInvariants()
	{
		const quint32 seed = !qEnvironmentVariableIsEmpty("TRACKLANE_SOAK_SEED")
					     ? quint32(qEnvironmentVariableIntValue("TRACKLANE_SOAK_SEED"))
					     : 20240611u;
		const int steps = !qEnvironmentVariableIsEmpty("TRACKLANE_SOAK_STEPS")
					  ? qEnvironmentVariableIntValue("TRACKLANE_SOAK_STEPS")
					  : 3000;
		qInfo("soak: seed %u, %d steps", seed, steps);
		Soak soak(seed);
		soak.settleFirst();
		for (int i = 0; i < steps; ++i) {
			const QString broken = soak.step();
			if (!broken.isEmpty())
				QFAIL(qPrintable(QStringLiteral("seed %1, step %2 (%3): %4")
							 .arg(seed)
							 .arg(i)
							 .arg(QString::fromLatin1(soak.lastAction()), broken)));
		}
	}
};

TRACKLANE_TEST_MAIN(SoakTest)
#include "test_soak.moc"
