// Playing tracks through the stand-in "vlc_source": the two-half track switch across libobs's
// graphics thread, transport commands, end modes, the control table, time display and seeking.

#include "test_host.hpp"
#include "graphics_hold.hpp"
#include "dock_invariants.hpp"
#include "test_access.hpp"
#include "dock_invariants.hpp"
#include "frontend.hpp"
#include "stand_in_source.hpp"
#include "websocket_stand_in.hpp"
#include "module/plugin-main.hpp"
#include "source/playlist-data.hpp"
#include "module/Hotkeys.hpp"
#include "module/RemoteControl.hpp"
#include "module/ModuleData.hpp"
#include "playback/SeekSlider.hpp"

#include <util/platform.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <atomic>
#include <chrono>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include <X11/Xlib.h>

class PlaybackTest : public QObject {
	Q_OBJECT

	QTemporaryDir dir;
	QStringList files;
	Tracklane *dock = nullptr;
	obs_source_t *source = nullptr;

	QString makeFile(const QString &name)
	{
		const QString path = dir.filePath(name);
		QFile f(path);
		if (!f.open(QIODevice::WriteOnly))
			qFatal("cannot write %s", qPrintable(path));
		f.write(QByteArray(1000, 'x'));
		return path;
	}

	QString addTrack(const QString &path)
	{
		const QString id = newTrackId();
		TA::tracks(*dock).append(TrackEntry{id, path, SizeNotProbed});
		dock->rebuildTrackList(QString());
		return id;
	}

	QString uuidOf(obs_source_t *s) { return QString::fromUtf8(obs_source_get_uuid(s)); }
	QString idAt(int i) { return TA::tracks(*dock)[i].id; }

	// Lets libobs's graphics thread stop the source, and the queued completion reach the dock.
	void settle()
	{
		testhost::waitForGraphicsTicks(3);
		QCoreApplication::processEvents();
		QCoreApplication::processEvents();
	}

	// xdotool given a key by name may pick one of the key's levels that needs Alt and hold Alt down
	// with it; with Debian testing's X keyboard data it does so for F1 to F12. libobs then sees
	// Alt+F9, which a plain F9 binding does not match. Given the keycode, it presses the key alone.
	static int keycodeOf(const char *keysymName)
	{
		Display *display = XOpenDisplay(nullptr);
		if (!display)
			return 0;
		const int keycode = XKeysymToKeycode(display, XStringToKeysym(keysymName));
		XCloseDisplay(display);
		return keycode;
	}

	static inline std::atomic<int> heardFrames{0};
	static void countHeard(void *, size_t, audio_data *data)
	{
		const float *left = reinterpret_cast<const float *>(data->data[0]);
		int n = 0;
		for (uint32_t i = 0; left && i < data->frames; ++i)
			n += left[i] > 0.1f;
		heardFrames += n;
	}

	// The remote control as obs-websocket's clients reach it; requests run on threads of their own.
	void openRemote()
	{
		testwebsocket::install();
		tracklane::currentDock = dock;
		tracklane::openRemoteControl();
		testwebsocket::takeEvents();
	}
	static QJsonObject remote(const char *type, const QJsonObject &data = {})
	{
		return testwebsocket::call(QStringLiteral("OBS-Tracklane"), QString::fromLatin1(type), data);
	}
	static QString errorOf(const QJsonObject &answer) { return answer.value(QStringLiteral("error")).toString(); }
	static QString stateOf(const QJsonObject &status)
	{
		return status.value(QStringLiteral("mediaState")).toString();
	}
	static int numberOf(const QJsonObject &status)
	{
		return status.value(QStringLiteral("currentTrack")).toObject().value(QStringLiteral("number")).toInt();
	}

	void bindFreshSource(const QStringList &playlist)
	{
		source = standin::create("media", playlist);
		dock->bindSource(uuidOf(source));
		TA::sourceUuid(*dock) = uuidOf(source);
		QCOMPARE(int(TA::tracks(*dock).size()), int(playlist.size()));
		standin::clearRecords(source);
	}

private Q_SLOTS:
	void initTestCase()
	{
		for (const char *name : {"one.wav", "two.wav", "three.wav"})
			files << makeFile(QString::fromLatin1(name));
	}

	void init()
	{
		testfrontend::reset();
		testhost::clearLog();
		dock = new Tracklane(dir.filePath(QStringLiteral("settings.json")), nullptr);
		TA::pollTimer(*dock).stop(); // the tests drive the poll themselves
		dock->onCollectionLoaded();
		bindFreshSource(files);
	}

	void cleanupTestCase()
	{
		testwebsocket::uninstall();
	}

	void cleanup()
	{
		tracklane::closeRemoteControl();
		tracklane::unregisterModuleData();
		tracklane::unregisterHotkeys();
		delete dock;
		dock = nullptr;
		if (source) {
			obs_source_remove(source);
			obs_source_release(source);
			source = nullptr;
		}
		testhost::waitForGraphicsTicks(1);
	}

	// OBS saves the collection before it exits; an end-of-track "next" may be waiting for its stop
	// right then. The saved current track must be the one the source holds, or the next start
	// marks, and plays on from, a track that never reached the source.
	void collectionSavedDuringASwitchNamesTheTrackTheSourceHolds()
	{
		dock->loadTrack(idAt(0), false);
		settle();
		QCOMPARE(standin::playlistOf(source), QStringList{files[0]});
		auto hold = std::make_unique<GraphicsHold>();
		QVERIFY(hold->hold());
		dock->loadTrack(idAt(1), false);
		QVERIFY(TA::trackSwitchPending(*dock));

		obs_data_t *priv = obs_source_get_private_settings(source);
		obs_data_t *saved = obs_data_get_obj(priv, "OBS-Tracklane");
		const QByteArray savedJson = obs_data_get_json(saved);
		obs_data_release(saved);
		obs_data_release(priv);

		// OBS exits: the dock goes, the stop it asked for finds nobody waiting.
		delete dock;
		dock = nullptr;
		hold.reset();
		testhost::waitForGraphicsTicks(3);
		QCOMPARE(standin::playlistOf(source), QStringList{files[0]});

		// The next start loads what was saved.
		priv = obs_source_get_private_settings(source);
		saved = obs_data_create_from_json(savedJson.constData());
		obs_data_set_obj(priv, "OBS-Tracklane", saved);
		obs_data_release(saved);
		obs_data_release(priv);
		dock = new Tracklane(dir.filePath(QStringLiteral("settings.json")), nullptr);
		TA::pollTimer(*dock).stop();
		dock->onCollectionLoaded();
		dock->bindSource(uuidOf(source));
		QCOMPARE(int(TA::tracks(*dock).size()), int(files.size()));
		QCOMPARE(TA::currentTrackId(*dock), idAt(0));
	}

	// Every other save in the window between a switch and the source's stop (an end-mode change, an
	// added or removed track, the call-off itself) must also name what the source holds: a handed-back
	// source saved as managed has its own list emptied by the next Stop after a restart.
	void savesDuringASwitchDescribeWhatTheSourceHolds()
	{
		const auto saved = [this]() {
			return QJsonDocument::fromJson(invariants::stateJson(source).toUtf8()).object();
		};
		const auto observed = [](const QJsonObject &state) {
			QStringList paths;
			for (const QJsonValue &item : state.value(QStringLiteral("observed")).toArray())
				paths << item.toObject().value(QStringLiteral("value")).toString();
			return paths;
		};

		// Handed back: the source plays its own list of every track.
		dock->restorePlaylist();
		settle();
		auto hold = std::make_unique<GraphicsHold>();
		QVERIFY(hold->hold());
		dock->loadTrack(idAt(1), false);
		TA::endModeCombo(*dock)->setCurrentIndex(1);
		QCOMPARE(saved().value(QStringLiteral("endMode")).toInt(), 1);
		QCOMPARE(saved().value(QStringLiteral("current")).toString(), QString());
		QCOMPARE(saved().value(QStringLiteral("managed")).toBool(), false);
		// A second switch before the stop still leaves the source as the first one found it.
		dock->loadTrack(idAt(2), false);
		dock->appendTracks({makeFile(QStringLiteral("four.wav"))});
		QCOMPARE(saved().value(QStringLiteral("tracks")).toArray().size(), 4);
		QCOMPARE(saved().value(QStringLiteral("managed")).toBool(), false);
		QCOMPARE(observed(saved()), files);
		// Called off by a rebind before the source stopped: it never took the dock's track.
		dock->bindSource(QString());
		QCOMPARE(saved().value(QStringLiteral("current")).toString(), QString());
		QCOMPARE(saved().value(QStringLiteral("managed")).toBool(), false);
		hold.reset();
		settle();
		QCOMPARE(standin::playlistOf(source), files);

		// Managed, track 1 playing; during the switch to track 2, track 1 is removed from the list.
		dock->bindSource(uuidOf(source));
		dock->loadTrack(idAt(0), false);
		settle();
		const QString first = idAt(0);
		const QString second = idAt(1);
		hold = std::make_unique<GraphicsHold>();
		QVERIFY(hold->hold());
		dock->loadTrack(second, false);
		TA::endModeCombo(*dock)->setCurrentIndex(0);
		QCOMPARE(saved().value(QStringLiteral("current")).toString(), first);
		QCOMPARE(saved().value(QStringLiteral("managed")).toBool(), true);
		TA::trackList(*dock)->setCurrentRow(0);
		dock->removeSelectedTracks();
		QCOMPARE(saved().value(QStringLiteral("current")).toString(), QString());
		QCOMPARE(observed(saved()), QStringList{files[0]});
		hold.reset();
		settle();
		QCOMPARE(standin::playlistOf(source), QStringList{files[1]});
		QCOMPARE(saved().value(QStringLiteral("current")).toString(), second);
		QCOMPARE(saved().value(QStringLiteral("managed")).toBool(), true);

		// Called off by a rebind before the source stopped: it goes on with the track it held.
		hold = std::make_unique<GraphicsHold>();
		QVERIFY(hold->hold());
		dock->loadTrack(idAt(1), false);
		dock->bindSource(QString());
		QCOMPARE(saved().value(QStringLiteral("current")).toString(), second);
		QCOMPARE(saved().value(QStringLiteral("managed")).toBool(), true);
		QCOMPARE(observed(saved()), QStringList{files[1]});
	}

	// VLC reports a start when it begins to open a file; a file it cannot open then ends at once,
	// with no duration, never having played. Repeat would reload it four times a second for ever.
	void fileThatNeverOpenedFiresNoEndMode()
	{
		TA::endMode(*dock) = 2;
		dock->loadTrack(idAt(0), false);
		settle();
		standin::setDuration(source, 0);
		standin::setState(source, OBS_MEDIA_STATE_ENDED);
		obs_source_media_started(source);
		QCoreApplication::processEvents();
		standin::clearRecords(source);
		dock->handleEndOfTrack(OBS_MEDIA_STATE_ENDED, 0);
		QVERIFY(!TA::trackSwitchPending(*dock));
		QVERIFY(!standin::calls(source).contains(QStringLiteral("stop")));
	}

	void switchAppliesOnlyAfterTheSourceStopped()
	{
		QSignalSpy sceneRequests(dock, &Tracklane::sceneSwitchRequested);
		const QStringList before = standin::playlistOf(source);
		// The graphics thread waits while the first half is checked, so the source's settings are
		// not being rewritten under the test.
		auto hold = std::make_unique<GraphicsHold>();
		QVERIFY(hold->hold());
		dock->loadTrack(idAt(1), true);

		QVERIFY(TA::trackSwitchPending(*dock));
		QVERIFY(TA::managed(*dock));
		QCOMPARE(TA::currentTrackId(*dock), idAt(1));
		QCOMPARE(standin::playlistOf(source), before); // nothing applied yet
		// A collection saved now (OBS saves before it exits) must still match the source, or the
		// next start throws the saved list away for the one track the source holds.
		QCOMPARE(TA::observedPlaylist(*dock), QList<QString>(before.cbegin(), before.cend()));
		obs_data_t *priv = obs_source_get_private_settings(source);
		obs_data_t *saved = obs_data_get_obj(priv, "OBS-Tracklane");
		QCOMPARE(readPlaylist(saved, "observed"), QList<QString>(before.cbegin(), before.cend()));
		obs_data_release(saved);
		obs_data_release(priv);
		QVERIFY(!dock->findChild<QToolButton *>(QStringLiteral("playPause"))->isEnabled());
		hold.reset();

		settle();
		QVERIFY(!TA::trackSwitchPending(*dock));
		QCOMPARE(standin::playlistOf(source), QStringList{files[1]});
		QCOMPARE(TA::observedPlaylist(*dock), QList<QString>{files[1]});
		QVERIFY(standin::calls(source).contains(QStringLiteral("stop")));
		QCOMPARE(standin::of(source)->stopsOnGraphicsThread, 1);
		QCOMPARE(sceneRequests.count(), 1);
		QCOMPARE(sceneRequests.at(0).at(0).toString(), uuidOf(source));

		obs_data_t *settings = obs_source_get_settings(source);
		QVERIFY(!obs_data_get_bool(settings, "loop"));
		QVERIFY(!obs_data_get_bool(settings, "shuffle"));
		QCOMPARE(QString::fromUtf8(obs_data_get_string(settings, "playback_behavior")),
			 QStringLiteral("always_play"));
		obs_data_release(settings);

		// Only the current row carries the marker.
		QListWidget *list = TA::trackList(*dock);
		QVERIFY(list->item(1)->text().startsWith(CurrentTrackMarker));
		QVERIFY(!list->item(0)->text().startsWith(CurrentTrackMarker));
		QCOMPARE(list->currentRow(), 1);
	}

	// The source's settings object has no lock, and the UI thread reads and writes it at any time
	// (the host's properties window, the collection save): the graphics thread that reports the stop
	// leaves it alone, and the queued completion writes it on the UI thread, once per switch.
	void stoppedSourceIsUpdatedFromTheUiThreadOnly()
	{
		QSignalSpy sceneRequests(dock, &Tracklane::sceneSwitchRequested);
		const QStringList before = standin::playlistOf(source);
		dock->loadTrack(idAt(2), true);
		// The operator stops the source from its own controls as well: two media_stopped signals.
		obs_source_media_stop(source);
		QVERIFY(testhost::waitForGraphicsTicksWithoutEvents(2));
		QCOMPARE(standin::of(source)->stopsOnGraphicsThread, 2);
		QCOMPARE(standin::playlistOf(source), before);
		QVERIFY(TA::trackSwitchPending(*dock));

		QTRY_VERIFY_WITH_TIMEOUT(!TA::trackSwitchPending(*dock), 5000);
		QCOMPARE(standin::playlistOf(source), QStringList{files[2]});
		settle();
		QCOMPARE(standin::updates(source).size(), 1);
		QCOMPARE(sceneRequests.count(), 1);
		QCOMPARE(TA::currentTrackId(*dock), idAt(2));
	}

	void secondLoadBeforeStopWins()
	{
		dock->loadTrack(idAt(0), false);
		dock->loadTrack(idAt(2), false);
		settle();
		QVERIFY(!TA::trackSwitchPending(*dock));
		QCOMPARE(standin::playlistOf(source), QStringList{files[2]});
		QCOMPARE(standin::updates(source).size(), 1);
		QCOMPARE(TA::currentTrackId(*dock), idAt(2));
		QCOMPARE(int(TA::trackList(*dock)->findItems(CurrentTrackMarker, Qt::MatchStartsWith).size()), 1);
	}

	// Someone else changes the playlist while the source stops for a switch: the switch is called off
	// rather than written over that change, and the dock goes on from what the source then plays.
	void outsideEditDuringASwitchCallsItOff()
	{
		dock->loadTrack(idAt(0), false);
		settle();
		QSignalSpy sceneRequests(dock, &Tracklane::sceneSwitchRequested);
		standin::clearRecords(source);
		{
			GraphicsHold hold;
			QVERIFY(hold.hold());
			dock->loadTrack(idAt(1), true);
			standin::setPlaylist(source, {files[2]});
		}
		settle();
		settle();
		QVERIFY(!TA::trackSwitchPending(*dock));
		QCOMPARE(standin::playlistOf(source), QStringList{files[2]});
		for (const QString &update : standin::updates(source))
			QVERIFY2(!update.contains(files[1]), qPrintable(update));
		QCOMPARE(int(TA::tracks(*dock).size()), int(files.size()));
		QCOMPARE(TA::currentTrackId(*dock), idAt(2));
		QVERIFY(TA::managed(*dock));
		QCOMPARE(TA::observedPlaylist(*dock), QList<QString>{files[2]});
		QVERIFY(!TA::messageLabel(*dock)->isHidden());
		QCOMPARE(sceneRequests.count(), 0);
		QCOMPARE(int(TA::trackList(*dock)->findItems(CurrentTrackMarker, Qt::MatchStartsWith).size()), 1);

		// A change made before the switch was asked for (the Properties window's Cancel, which
		// updates nothing, just before the operator's next track) is older than the switch, which
		// goes ahead: calling it off would leave the stopped source silent.
		obs_data_t *settings = obs_source_get_settings(source);
		obs_data_t *reverted = obs_data_create();
		obs_data_array_t *playlist = makePlaylistArray({files[0]});
		obs_data_set_array(reverted, "playlist", playlist);
		obs_data_array_release(playlist);
		obs_data_clear(settings);
		obs_data_apply(settings, reverted);
		obs_data_release(reverted);
		obs_data_release(settings);
		dock->loadTrack(idAt(1), false);
		QVERIFY(TA::messageLabel(*dock)->isHidden());
		settle();
		QVERIFY(!TA::trackSwitchPending(*dock));
		QCOMPARE(standin::playlistOf(source), QStringList{files[1]});
		QCOMPARE(TA::currentTrackId(*dock), idAt(1));
		QVERIFY(!TA::messageLabel(*dock)->isHidden());

		// Handed back, the source's playlist is its own again: an outside edit that calls a switch
		// off is imported, as it would have been had the operator not asked for a track.
		dock->restorePlaylist();
		settle();
		{
			GraphicsHold hold;
			QVERIFY(hold.hold());
			dock->loadTrack(idAt(1), false);
			standin::setPlaylist(source, {files[2], files[0]});
		}
		settle();
		settle();
		QVERIFY(!TA::trackSwitchPending(*dock));
		QVERIFY(!TA::managed(*dock));
		QCOMPARE(standin::playlistOf(source), (QStringList{files[2], files[0]}));
		QCOMPARE(int(TA::tracks(*dock).size()), 2);
		QCOMPARE(TA::tracks(*dock)[0].path, files[2]);
	}

	void completionAfterRebindIsIgnored()
	{
		obs_source_t *other = standin::create("other", {files[0]});
		dock->loadTrack(idAt(1), false);
		dock->bindSource(uuidOf(other));
		settle();
		QCOMPARE(standin::updates(source).size(), 0);
		QCOMPARE(standin::playlistOf(source), files);
		QVERIFY(!TA::trackSwitchPending(*dock));
		QCOMPARE(standin::updates(other).size(), 0);
		dock->bindSource(QString());
		obs_source_remove(other);
		obs_source_release(other);
	}

	void completionAfterCancelOrExitIsIgnored()
	{
		dock->loadTrack(idAt(1), false);
		dock->cancelPendingSwitch();
		settle();
		QCOMPARE(standin::updates(source).size(), 0);
		// The source still holds its own list, which is not the one-track list the dock expected.
		QVERIFY(TA::currentTrackId(*dock).isEmpty());
		QCOMPARE(int(TA::trackList(*dock)->findItems(CurrentTrackMarker, Qt::MatchStartsWith).size()), 0);
		QCOMPARE(TA::observedPlaylist(*dock), QList<QString>(files));

		dock->loadTrack(idAt(0), false);
		dock->stopPolling();
		settle();
		QCOMPARE(standin::updates(source).size(), 0);
	}

	void unrequestedStopIsIgnored()
	{
		obs_source_media_stop(source);
		settle();
		QCOMPARE(standin::updates(source).size(), 0);
		QCOMPARE(standin::playlistOf(source), files);
	}

	void missingFileOnlyShowsMessage()
	{
		const QString gone = makeFile(QStringLiteral("gone.wav"));
		const QString goneId = addTrack(gone);
		dock->loadTrack(idAt(0), false);
		settle();
		standin::clearRecords(source);
		QFile::remove(gone);

		dock->loadTrack(goneId, false);
		QCOMPARE(TA::currentTrackId(*dock), idAt(0));
		QVERIFY(!TA::trackSwitchPending(*dock));
		QVERIFY(!TA::messageLabel(*dock)->isHidden());
		QCOMPARE(TA::messageLabel(*dock)->text(),
			 QStringLiteral(u"\u26A0 ") + moduleQString("FileMissing").arg(gone));
		settle();
		QVERIFY(standin::calls(source).isEmpty());
		QCOMPARE(standin::playlistOf(source), QStringList{files[0]});
	}

	void urlTrackSkipsFileCheck()
	{
		const QString url = QStringLiteral("https://media.example.invalid/show/intro.mp3");
		dock->loadTrack(addTrack(url), false);
		settle();
		QCOMPARE(standin::playlistOf(source), QStringList{url});
	}

	void sourceRemovedMidSwitch()
	{
		dock->loadTrack(idAt(1), false);
		obs_source_remove(source);
		settle();
		QCOMPARE(standin::updates(source).size(), 0);
		// Nothing can be done with a removed source, so the controls say so.
		dock->updateTransportControls();
		QVERIFY(!dock->findChild<QToolButton *>(QStringLiteral("stop"))->isEnabled());
	}

	void nextAndPreviousWrap()
	{
		dock->playNext();
		QCOMPARE(TA::currentTrackId(*dock), idAt(0)); // no current track: the first
		settle();
		dock->playPrevious();
		QCOMPARE(TA::currentTrackId(*dock), idAt(2)); // from the first: wraps to the last
		settle();
		dock->playNext();
		QCOMPARE(TA::currentTrackId(*dock), idAt(0)); // from the last: wraps to the first
		settle();

		TA::currentTrackId(*dock).clear();
		dock->playPrevious();
		QCOMPARE(TA::currentTrackId(*dock), idAt(2)); // no current track: the last
		settle();
	}

	void endModeNextStopsAfterLast()
	{
		TA::endMode(*dock) = 1;
		dock->loadTrack(idAt(1), false);
		settle();
		// Seen playing well after the start: armed; the end then loads the next track.
		TA::playStartTimer(*dock).invalidate();
		dock->handleEndOfTrack(OBS_MEDIA_STATE_PLAYING, 1);
		QVERIFY(TA::playbackArmed(*dock));
		dock->handleEndOfTrack(OBS_MEDIA_STATE_ENDED, 1);
		QCOMPARE(TA::currentTrackId(*dock), idAt(2));
		settle();

		TA::playStartTimer(*dock).invalidate();
		dock->handleEndOfTrack(OBS_MEDIA_STATE_PLAYING, 2);
		dock->handleEndOfTrack(OBS_MEDIA_STATE_ENDED, 2);
		settle();
		QCOMPARE(TA::currentTrackId(*dock), idAt(2)); // no wrap to the first
		QVERIFY(standin::playlistOf(source).isEmpty());
		QVERIFY(TA::observedPlaylist(*dock).isEmpty());
	}

	void endModeRepeatAndStop()
	{
		TA::endMode(*dock) = 2;
		dock->loadTrack(idAt(0), false);
		settle();
		standin::clearRecords(source);
		TA::playStartTimer(*dock).invalidate();
		dock->handleEndOfTrack(OBS_MEDIA_STATE_PLAYING, 0);
		dock->handleEndOfTrack(OBS_MEDIA_STATE_ENDED, 0);
		QCOMPARE(TA::currentTrackId(*dock), idAt(0));
		QVERIFY(TA::trackSwitchPending(*dock));
		settle();
		QCOMPARE(standin::updates(source).size(), 1);

		// An ENDED that was never armed fires nothing.
		dock->handleEndOfTrack(OBS_MEDIA_STATE_ENDED, 0);
		QVERIFY(!TA::trackSwitchPending(*dock));

		TA::endMode(*dock) = 0;
		TA::playStartTimer(*dock).invalidate();
		dock->handleEndOfTrack(OBS_MEDIA_STATE_PLAYING, 0);
		dock->handleEndOfTrack(OBS_MEDIA_STATE_ENDED, 0);
		QVERIFY(standin::playlistOf(source).isEmpty());
	}

	// A hand-over that waits for the ended track's audio: it goes ahead once nothing of the source is
	// heard any more (the stand-in is in no output, so at once), and anything but the ended track
	// still being there (another state, a command, a stop, a removed track) drops it.
	void waitingHandOverFollowsTheEndedTrackOnly()
	{
		TA::endMode(*dock) = 1;
		dock->loadTrack(idAt(0), false);
		settle();

		TA::endHandOverDue(*dock) = true;
		TA::endHandOverTimer(*dock).restart();
		dock->handleEndOfTrack(OBS_MEDIA_STATE_ENDED, 0);
		QVERIFY(!TA::endHandOverDue(*dock));
		QCOMPARE(TA::currentTrackId(*dock), idAt(1));
		settle();

		TA::endHandOverDue(*dock) = true;
		TA::playStartTimer(*dock).invalidate();
		dock->handleEndOfTrack(OBS_MEDIA_STATE_PLAYING, 1);
		QVERIFY(!TA::endHandOverDue(*dock));
		QVERIFY(TA::playbackArmed(*dock));
		QCOMPARE(TA::currentTrackId(*dock), idAt(1));
		QVERIFY(!TA::trackSwitchPending(*dock));

		TA::endHandOverDue(*dock) = true;
		dock->playPrevious();
		QVERIFY(!TA::endHandOverDue(*dock));
		QCOMPARE(TA::currentTrackId(*dock), idAt(0));
		settle();

		TA::endHandOverDue(*dock) = true;
		dock->handleEndOfTrack(OBS_MEDIA_STATE_ENDED, -1);
		QVERIFY(!TA::endHandOverDue(*dock));
		QCOMPARE(TA::currentTrackId(*dock), idAt(0));
		QVERIFY(!TA::trackSwitchPending(*dock));

		// A missing file chosen during the wait only reports itself; the hand-over still happens.
		const QString missing = addTrack(dir.filePath(QStringLiteral("gone.wav")));
		TA::endHandOverDue(*dock) = true;
		dock->loadTrack(missing, true);
		QVERIFY(TA::endHandOverDue(*dock));
		QVERIFY(!TA::messageLabel(*dock)->isHidden());
		dock->handleEndOfTrack(OBS_MEDIA_STATE_ENDED, 0);
		QVERIFY(!TA::endHandOverDue(*dock));
		QCOMPARE(TA::currentTrackId(*dock), idAt(1));
		settle();
		dock->playPrevious();
		settle();

		TA::endHandOverDue(*dock) = true;
		dock->stopPlayback();
		QVERIFY(!TA::endHandOverDue(*dock));
		dock->handleEndOfTrack(OBS_MEDIA_STATE_ENDED, 0);
		QCOMPARE(TA::currentTrackId(*dock), idAt(0));
		QVERIFY(!TA::trackSwitchPending(*dock));
	}

	// A short track can open, play and end between two polls. Once the switch has completed, a
	// PLAYING however soon, or the source's own start signal, belongs to the new track and arms
	// the end mode; a start reported while the switch still waits is the old track's.
	void shortTrackArmsTheEndMode()
	{
		TA::endMode(*dock) = 1;
		dock->loadTrack(idAt(0), false);
		settle();
		dock->handleEndOfTrack(OBS_MEDIA_STATE_PLAYING, 0);
		QVERIFY(TA::playbackArmed(*dock));

		{
			GraphicsHold hold;
			QVERIFY(hold.hold());
			dock->loadTrack(idAt(1), false);
			obs_source_media_started(source);
			QCoreApplication::processEvents();
		}
		settle();
		QVERIFY(!TA::playbackArmed(*dock));
		obs_source_media_started(source);
		QCoreApplication::processEvents();
		QVERIFY(TA::playbackArmed(*dock));
		dock->handleEndOfTrack(OBS_MEDIA_STATE_ENDED, 1);
		QCOMPARE(TA::currentTrackId(*dock), idAt(2));
		settle();

		// Never seen playing, never started: the end fires nothing.
		dock->handleEndOfTrack(OBS_MEDIA_STATE_ENDED, 2);
		QCOMPARE(TA::currentTrackId(*dock), idAt(2));
		QVERIFY(!TA::trackSwitchPending(*dock));

		// Not managed, or the current track gone from the list: the end rule never fires.
		dock->handleEndOfTrack(OBS_MEDIA_STATE_PLAYING, -1);
		QVERIFY(!TA::playbackArmed(*dock));
		TA::managed(*dock) = false;
		dock->handleEndOfTrack(OBS_MEDIA_STATE_PLAYING, 2);
		QVERIFY(!TA::playbackArmed(*dock));
	}

	// While the hand-over waits, the audience still hears the ended track: the dock shows it
	// playing, and play/pause cannot start it again and cut its tail.
	void endedTrackStillHeardShowsPlaying()
	{
		TA::endMode(*dock) = 1;
		dock->loadTrack(idAt(0), false);
		settle();
		standin::setState(source, OBS_MEDIA_STATE_ENDED);
		TA::endHandOverDue(*dock) = true;
		TA::endHandOverTimer(*dock).restart();
		dock->updateTransportControls();
		QToolButton *playPause = TA::playPauseButton(*dock);
		QCOMPARE(playPause->accessibleName(), moduleQString("Pause"));
		QVERIFY(!playPause->isEnabled());
		standin::clearRecords(source);
		dock->togglePlayPause();
		QVERIFY(!TA::trackSwitchPending(*dock));
		QVERIFY(standin::calls(source).isEmpty());

		// Another track chosen by the operator may still be started.
		TA::trackList(*dock)->setCurrentRow(2);
		QVERIFY(playPause->isEnabled());
		dock->togglePlayPause();
		QCOMPARE(TA::currentTrackId(*dock), idAt(2));
		settle();
	}

	// A short file's audio reaches libobs in a few quick chunks, and the end may follow within the
	// same millisecond. Until the mix looks at the source again, libobs still calls its buffer
	// dry; the hand-over must wait for that tone to be heard, then still take place.
	void audioHandedOverJustBeforeTheEndIsHeardFirst()
	{
		TA::endMode(*dock) = 1;
		dock->loadTrack(idAt(0), false);
		settle();
		dock->handleEndOfTrack(OBS_MEDIA_STATE_PLAYING, 0);
		obs_set_output_source(0, source);
		const std::unique_ptr<void, void (*)(void *)> offAir(source, [](void *) {
			obs_set_output_source(0, nullptr);
		});
		testhost::waitForGraphicsTicks(2);
		QVERIFY(obs_source_active(source));
		// What the output mix carried of the tone, counted as the mix runs.
		heardFrames = 0;
		obs_add_raw_audio_callback(0, nullptr, countHeard, nullptr);
		const std::unique_ptr<void, void (*)(void *)> unheard(source, [](void *) {
			obs_remove_raw_audio_callback(0, countHeard, nullptr);
		});

		const std::vector<float> tone(48000 * 3 / 10, 0.25f);
		obs_source_audio audio = {};
		audio.data[0] = reinterpret_cast<const uint8_t *>(tone.data());
		audio.data[1] = audio.data[0];
		audio.frames = uint32_t(tone.size());
		audio.speakers = SPEAKERS_STEREO;
		audio.format = AUDIO_FORMAT_FLOAT_PLANAR;
		audio.samples_per_sec = 48000;
		audio.timestamp = os_gettime_ns();
		obs_source_output_audio(source, &audio);
		standin::setState(source, OBS_MEDIA_STATE_ENDED);
		dock->handleEndOfTrack(OBS_MEDIA_STATE_ENDED, 0);
		QVERIFY(TA::endHandOverDue(*dock));
		QCOMPARE(TA::currentTrackId(*dock), idAt(0));

		QTRY_COMPARE_WITH_TIMEOUT(TA::currentTrackId(*dock), idAt(1), 5000);
		// The mix takes a source's audio in whole passes; less than one pass may stay behind.
		QVERIFY2(heardFrames >= int(tone.size()) - AUDIO_OUTPUT_FRAMES,
			 qPrintable(QString::number(heardFrames)));
		QVERIFY(!TA::endHandOverDue(*dock));
		settle();
	}

	// Starting a switch disables the seek slider, which lets go of a held slider: that release
	// must not seek, and the new track's slider follows the source at once.
	void heldSliderSendsNoSeekIntoASwitch()
	{
		dock->loadTrack(idAt(0), false);
		settle();
		standin::setDuration(source, 100000);
		standin::setTime(source, 20000);
		dock->pollTick();
		SeekSlider *slider = TA::seekSlider(*dock);
		QVERIFY(slider->isEnabled());
		QSignalSpy released(slider, &SeekSlider::sliderReleased);
		slider->setSliderDown(true);
		slider->setSliderPosition(500);
		standin::clearRecords(source);
		dock->loadTrack(idAt(1), false);
		QCOMPARE(released.count(), 1);
		QCOMPARE(TA::pendingSeekMs(*dock), -1);
		settle();
		QVERIFY(standin::calls(source).filter(QStringLiteral("set_time:")).isEmpty());
		QCOMPARE(TA::pendingSeekMs(*dock), -1);
	}

	void stopWhileNotManagedLeavesPlaylist()
	{
		dock->stopPlayback();
		settle();
		QCOMPARE(standin::playlistOf(source), files);
		QVERIFY(standin::calls(source).contains(QStringLiteral("stop")));
	}

	void restoreHandsWholeListBack()
	{
		dock->loadTrack(idAt(1), false);
		settle();
		dock->restorePlaylist();
		QCOMPARE(standin::playlistOf(source), files);
		QVERIFY(!TA::managed(*dock));
		QVERIFY(TA::currentTrackId(*dock).isEmpty());
		obs_data_t *settings = obs_source_get_settings(source);
		QCOMPARE(obs_data_get_bool(settings, "loop"), TA::originalLoop(*dock));
		QCOMPARE(QString::fromUtf8(obs_data_get_string(settings, "playback_behavior")),
			 TA::originalBehavior(*dock));
		obs_data_release(settings);
	}

	// The source's Properties window opens while the dock plays one track and is answered after the
	// dock moved on. Its Cancel puts the settings it opened with back into the source's settings and
	// updates nothing, so the source plays on; its Discard updates the source with them, which starts
	// that track again. Neither, nor a reset without a playlist, costs the list a track, an id, the
	// undo buffer or the source's own options; the show goes on from what the source plays.
	void outsideChangeOfAManagedSourceKeepsTheList()
	{
		const QList<TrackEntry> list = TA::tracks(*dock);
		TA::removedTracks(*dock) << RemovedTrack{TrackEntry{newTrackId(), files[0], SizeNotProbed}, 3};
		TA::endMode(*dock) = 1;
		auto slowTick = [this]() {
			TA::pollTickCount(*dock) = 3;
			dock->pollTick();
		};
		auto listKept = [this, &list]() {
			return invariants::describe(TA::tracks(*dock)) == invariants::describe(list) &&
			       TA::removedTracks(*dock).size() == 1 && TA::originalLoop(*dock) &&
			       !TA::originalShuffle(*dock) &&
			       TA::originalBehavior(*dock) == QStringLiteral("stop_restart");
		};

		dock->loadTrack(idAt(0), false);
		settle();
		using Data = std::unique_ptr<obs_data_t, decltype(&obs_data_release)>;
		const Data openedData(obs_data_create(), obs_data_release);
		const Data settingsData(obs_source_get_settings(source), obs_data_release);
		obs_data_t *opened = openedData.get();
		obs_data_t *settings = settingsData.get();
		obs_data_apply(opened, settings);
		dock->loadTrack(idAt(1), false);
		settle();
		QCOMPARE(standin::playlistOf(source), QStringList{files[1]});

		// Cancel: the second track plays on, and its end leads on to the third, not to it again.
		obs_data_clear(settings);
		obs_data_apply(settings, opened);
		slowTick();
		settle();
		QVERIFY(listKept());
		QCOMPARE(TA::currentTrackId(*dock), idAt(1));
		QVERIFY(TA::managed(*dock));
		QCOMPARE(TA::observedPlaylist(*dock), QList<QString>{files[0]});
		QVERIFY(!TA::messageLabel(*dock)->isHidden());
		QCOMPARE(TA::messageLabel(*dock)->text(),
			 QStringLiteral(u"\u26A0 ") + moduleQString("SourceChangedOutside"));
		// A source made from the settings saved now (OBS saves, then crashes) plays the first track.
		const QJsonObject saved = QJsonDocument::fromJson(invariants::stateJson(source).toUtf8()).object();
		QCOMPARE(saved.value(QStringLiteral("current")).toString(), idAt(0));
		QVERIFY(saved.value(QStringLiteral("managed")).toBool());
		TA::playStartTimer(*dock).invalidate();
		dock->handleEndOfTrack(OBS_MEDIA_STATE_PLAYING, 1);
		dock->handleEndOfTrack(OBS_MEDIA_STATE_ENDED, 1);
		settle();
		QCOMPARE(standin::playlistOf(source), QStringList{files[2]});
		QCOMPARE(TA::currentTrackId(*dock), idAt(2));

		// Discard: the source starts the first track again, which the end mode then follows.
		obs_source_update(source, opened);
		settle();
		slowTick();
		QVERIFY(listKept());
		QCOMPARE(TA::currentTrackId(*dock), idAt(0));
		QVERIFY(TA::managed(*dock));
		QCOMPARE(TA::observedPlaylist(*dock), QList<QString>{files[0]});
		QCOMPARE(int(TA::trackList(*dock)->findItems(CurrentTrackMarker, Qt::MatchStartsWith).size()), 1);

		// A reset without a playlist: the source plays nothing of the list, and the dock drives nothing.
		obs_data_t *reset = obs_data_create();
		obs_data_set_bool(reset, "loop", false);
		obs_source_reset_settings(source, reset);
		obs_data_release(reset);
		settle();
		slowTick();
		QVERIFY(listKept());
		QVERIFY(!TA::managed(*dock));
		QVERIFY(TA::observedPlaylist(*dock).isEmpty());

		// Restore hands the whole list back with the source's own options.
		dock->restorePlaylist();
		QCOMPARE(standin::playlistOf(source), files);
		QVERIFY(obs_data_get_bool(settings, "loop"));
		QVERIFY(!obs_data_get_bool(settings, "shuffle"));
		QCOMPARE(QString::fromUtf8(obs_data_get_string(settings, "playback_behavior")),
			 QStringLiteral("stop_restart"));
	}

	void playPauseStartsSelectedOrResumesCurrent()
	{
		dock->loadTrack(idAt(0), false);
		settle();
		standin::setState(source, OBS_MEDIA_STATE_PAUSED);

		QListWidget *list = TA::trackList(*dock);
		list->setCurrentRow(0);
		dock->updateTransportControls();
		QCOMPARE(dock->findChild<QToolButton *>(QStringLiteral("playPause"))->accessibleName(),
			 moduleQString("Resume"));
		dock->togglePlayPause();
		settle();
		QVERIFY(standin::calls(source).contains(QStringLiteral("resume")));
		QCOMPARE(TA::currentTrackId(*dock), idAt(0));

		list->setCurrentRow(2);
		dock->updateTransportControls();
		auto *button = dock->findChild<QToolButton *>(QStringLiteral("playPause"));
		QCOMPARE(button->accessibleName(), moduleQString("PlaySelected"));
		QCOMPARE(button->property("class").toString(), QStringLiteral("icon-media-play"));
		dock->togglePlayPause();
		QCOMPARE(TA::currentTrackId(*dock), idAt(2));
		settle();

		standin::setState(source, OBS_MEDIA_STATE_PLAYING);
		dock->updateTransportControls();
		QCOMPARE(button->property("class").toString(), QStringLiteral("icon-media-pause"));
		dock->togglePlayPause();
		settle(); // libobs carries out media actions on its graphics thread
		QCOMPARE(int(obs_source_media_get_state(source)), int(OBS_MEDIA_STATE_PAUSED));
	}

	void controlTable()
	{
		auto enabled = [this](const char *name) {
			if (auto *w = dock->findChild<QWidget *>(QString::fromLatin1(name)))
				return w->isEnabled();
			return dock->findChild<QAction *>(QString::fromLatin1(name))->isEnabled();
		};
		QListWidget *list = TA::trackList(*dock);
		list->setCurrentRow(1);
		dock->updateTransportControls();
		for (const char *name : {"playPause", "stop", "previous", "next", "addFiles", "remove", "openFolder",
					 "moveUp", "moveDown", "moveTop", "moveBottom", "restorePlaylist", "endMode"})
			QVERIFY2(enabled(name), name);
		QVERIFY(!enabled("undoRemove"));
		QVERIFY(!enabled("locateCurrent"));
		QVERIFY(!enabled("seek")); // no duration yet

		// Several rows selected: no moves, no folder.
		list->item(0)->setSelected(true);
		dock->updateTransportControls();
		QVERIFY(!enabled("moveUp") && !enabled("moveDown") && !enabled("openFolder"));
		QVERIFY(enabled("remove"));

		// A search text: no moves.
		list->setCurrentRow(1, QItemSelectionModel::ClearAndSelect);
		TA::searchEdit(*dock)->setText(QStringLiteral("t"));
		dock->updateTransportControls();
		QVERIFY(!enabled("moveUp") && !enabled("moveDown"));
		TA::searchEdit(*dock)->clear();

		// A switch pending: no play/pause, no seek.
		TA::durationMs(*dock) = 5000;
		dock->loadTrack(idAt(1), false);
		QVERIFY(!enabled("playPause"));
		QVERIFY(!enabled("seek"));
		settle();
		// Not before the source has begun the new track (it takes its settings on a graphics tick).
		QVERIFY(!enabled("playPause"));
		settle();
		dock->updateTransportControls();
		QVERIFY(enabled("playPause"));
		QVERIFY(enabled("seek"));
		QVERIFY(enabled("locateCurrent"));

		// No source: everything off.
		dock->bindSource(QString());
		for (const char *name :
		     {"playPause", "stop", "previous", "next", "addFiles", "remove", "undoRemove", "locateCurrent",
		      "openFolder", "moveUp", "moveDown", "restorePlaylist", "endMode", "seek"})
			QVERIFY2(!enabled(name), name);
	}

	void endModeComboSavesState()
	{
		TA::endModeCombo(*dock)->setCurrentIndex(2);
		QCOMPARE(TA::endMode(*dock), 2);
		obs_data_t *priv = obs_source_get_private_settings(source);
		obs_data_t *state = obs_data_get_obj(priv, "OBS-Tracklane");
		QCOMPARE(obs_data_get_int(state, "endMode"), 2);
		obs_data_release(state);
		obs_data_release(priv);
	}

	void formatTimeAndRemaining()
	{
		QCOMPARE(formatTime(0), QStringLiteral("0:00"));
		QCOMPARE(formatTime(59999), QStringLiteral("0:59"));
		QCOMPARE(formatTime(60000), QStringLiteral("1:00"));
		QCOMPARE(formatTime(3725000), QStringLiteral("62:05"));
		QCOMPARE(formatTime(-5000), QStringLiteral("0:00"));
		QCOMPARE(formatTime(10999), QStringLiteral("0:10"));
		QCOMPARE(formatTime(600000), QStringLiteral("10:00"));
		QCOMPARE(formatTime(std::numeric_limits<qint64>::max()), QStringLiteral("153722867280912:55"));
		QCOMPARE(formatTime(std::numeric_limits<qint64>::min()), QStringLiteral("0:00"));

		TA::showRemainingTime(*dock) = true;
		TA::durationMs(*dock) = 200000;
		dock->updateTimeLabel(80000);
		QCOMPARE(TA::timeLabel(*dock)->text(), QStringLiteral(u"\u22122:00"));
		dock->updateTimeLabel(250000);
		QCOMPARE(TA::timeLabel(*dock)->text(), QStringLiteral(u"\u22120:00"));
		TA::durationMs(*dock) = 0;
		dock->updateTimeLabel(1000);
		QCOMPARE(TA::timeLabel(*dock)->text(), QStringLiteral(u"\u2212\u2014:\u2014"));
		QCOMPARE(TA::timeLabel(*dock)->accessibleName(),
			 moduleQString("RemainingTime") + QStringLiteral(u" \u2212\u2014:\u2014"));
	}

	void toggleShowsPendingSeekAndSaves()
	{
		TA::durationMs(*dock) = 100000;
		TA::pendingSeekMs(*dock) = 61000;
		dock->toggleTimeDisplay();
		QCOMPARE(TA::timeLabel(*dock)->text(), QStringLiteral(u"\u22120:39"));
		QFile file(dir.filePath(QStringLiteral("settings.json")));
		QVERIFY(file.open(QIODevice::ReadOnly));
		QVERIFY(file.readAll().contains("\"remainingTime\":true"));
		dock->toggleTimeDisplay();
		TA::showRemainingTime(*dock) = false;
	}

	void pollReadsSourceAndSettlesSeek()
	{
		dock->loadTrack(idAt(0), false);
		settle();
		standin::setDuration(source, 600000);
		standin::setTime(source, 30000);
		TA::pollTickCount(*dock) = 0;
		dock->pollTick();
		QCOMPARE(TA::durationMs(*dock), 600000);
		QCOMPARE(TA::seekSlider(*dock)->value(), 50);
		QCOMPARE(TA::timeLabel(*dock)->text(), QStringLiteral("0:30"));
		QVERIFY(TA::timeLabel(*dock)->accessibleDescription().startsWith(moduleQString("StatusPlaying")));
		QVERIFY(TA::timeLabel(*dock)->accessibleDescription().endsWith(QStringLiteral("0:30 / 10:00")));

		// Seek to 60 000 ms: the poll leaves the slider alone until the source is within 600 ms.
		TA::seekSlider(*dock)->setValue(100);
		dock->onSeekReleased();
		QCOMPARE(TA::pendingSeekMs(*dock), 60000);
		testhost::waitForGraphicsTicks(2);
		QVERIFY(standin::calls(source).contains(QStringLiteral("set_time:60000")));
		standin::setTime(source, 30250);
		dock->pollTick();
		QCOMPARE(TA::seekSlider(*dock)->value(), 100);
		QCOMPARE(TA::pendingSeekMs(*dock), 60000);
		standin::setTime(source, 59400);
		dock->pollTick();
		QCOMPARE(TA::pendingSeekMs(*dock), -1);
		QCOMPARE(TA::seekSlider(*dock)->value(), 99);

		// A seek the source never reaches is given up after a second.
		TA::seekSlider(*dock)->setValue(500);
		dock->onSeekReleased();
		testhost::waitForGraphicsTicks(2);
		standin::setTime(source, 1000);
		dock->pollTick();
		QCOMPARE(TA::pendingSeekMs(*dock), 300000);
		QTest::qWait(1050);
		dock->pollTick();
		QCOMPARE(TA::pendingSeekMs(*dock), -1);
		QCOMPARE(TA::seekSlider(*dock)->value(), 1);
	}

	void pollClampsOddTimes()
	{
		dock->loadTrack(idAt(0), false);
		settle();
		standin::setDuration(source, -20);
		standin::setTime(source, -500);
		dock->pollTick();
		QCOMPARE(TA::durationMs(*dock), 0);
		QCOMPARE(TA::seekSlider(*dock)->value(), 0);
		QCOMPARE(TA::timeLabel(*dock)->text(), QStringLiteral("0:00"));
		QVERIFY(TA::timeLabel(*dock)->accessibleDescription().endsWith(
			QStringLiteral(u"0:00 / \u2014:\u2014")));

		standin::setDuration(source, 10000);
		standin::setTime(source, std::numeric_limits<int64_t>::max());
		dock->pollTick();
		QCOMPARE(TA::seekSlider(*dock)->value(), 1000);

		// A seek while there is no duration does not touch the source.
		standin::setDuration(source, 0);
		dock->pollTick();
		standin::clearRecords(source);
		dock->onSeekReleased();
		QVERIFY(standin::calls(source).isEmpty());
	}

	void sliderClickAwayFromHandleSeeksOnRelease()
	{
		dock->loadTrack(idAt(0), false);
		settle();
		standin::setDuration(source, 100000);
		dock->pollTick();
		dock->show();
		QVERIFY(QTest::qWaitForWindowExposed(dock));
		SeekSlider *slider = TA::seekSlider(*dock);
		QVERIFY(slider->isEnabled());
		const QPoint near_end(slider->width() - 5, slider->height() / 2);
		QTest::mousePress(slider, Qt::LeftButton, {}, near_end);
		QVERIFY(slider->value() > 900);
		QTest::mouseRelease(slider, Qt::LeftButton, {}, near_end);
		QVERIFY(TA::pendingSeekMs(*dock) > 90000);
		testhost::waitForGraphicsTicks(2);
		QVERIFY(standin::calls(source).filter(QStringLiteral("set_time:")).size() == 1);
		dock->hide();
	}

	void pollNeverRestartsAfterStop()
	{
		dock->stopPolling();
		dock->onCollectionLoaded();
		QVERIFY(TA::suspended(*dock));
		QVERIFY(!TA::pollTimer(*dock).isActive());
		const int ticks = TA::pollTickCount(*dock);
		dock->pollTick();
		QCOMPARE(TA::pollTickCount(*dock), ticks);
	}

	// The hotkeys through libobs's own hotkey handling: bindings loaded with the collection, a
	// press injected as the frontend injects key events, and a key held down on the X display,
	// which libobs's hotkey thread sees.
	void hotkeysRunTheDocksControlsOnceOnTheUiThread()
	{
		tracklane::currentDock = dock;
		tracklane::registerHotkeys();
		tracklane::registerModuleData();
		obs_data_t *modules = obs_data_create_from_json(
			R"({"OBS-Tracklane": {"hotkeys": {"OBS-Tracklane.PlayPause": [{"key": "OBS_KEY_F9"}]}}})");
		testfrontend::fireSave(modules, false);
		obs_data_release(modules);

		// The collection keeps the binding when it is saved.
		obs_data_t *saved = obs_data_create();
		testfrontend::fireSave(saved, true);
		obs_data_t *own = obs_data_get_obj(saved, "OBS-Tracklane");
		obs_data_t *bindings = obs_data_get_obj(own, "hotkeys");
		obs_data_array_t *playPause = obs_data_get_array(bindings, "OBS-Tracklane.PlayPause");
		QCOMPARE(int(obs_data_array_count(playPause)), 1);
		obs_data_t *binding = obs_data_array_item(playPause, 0);
		const QString key = QString::fromUtf8(obs_data_get_string(binding, "key"));
		obs_data_release(binding);
		obs_data_array_release(playPause);
		obs_data_release(bindings);
		obs_data_release(own);
		obs_data_release(saved);
		QCOMPARE(key, QStringLiteral("OBS_KEY_F9"));

		// A press plays the selected track, as the button does, once the UI thread gets to it:
		// nothing runs inside libobs's callback.
		TA::trackList(*dock)->setCurrentRow(1);
		const obs_key_combination_t f9 = {0, OBS_KEY_F9};
		obs_hotkey_inject_event(f9, true);
		QVERIFY(TA::currentTrackId(*dock).isEmpty());
		QCoreApplication::processEvents();
		QCOMPARE(TA::currentTrackId(*dock), idAt(1));
		obs_hotkey_inject_event(f9, false);
		settle();
		QVERIFY(!TA::trackSwitchPending(*dock));
		QCOMPARE(standin::calls(source), QStringList{QStringLiteral("stop")});
		QCOMPARE(standin::playlistOf(source), QStringList{files[1]});

		// A key held for many of the hotkey thread's polls pauses once; a second press would resume.
		standin::clearRecords(source);
		obs_hotkey_enable_background_press(true);
		const int f9Keycode = keycodeOf("F9");
		QVERIFY(f9Keycode > 0);
		const QString f9Key = QString::number(f9Keycode);
		const QStringList heldKey = {QStringLiteral("keydown"), f9Key, QStringLiteral("sleep"),
					  QStringLiteral("0.5"), QStringLiteral("keyup"), f9Key};
		const int rc = QProcess::execute(QStringLiteral("xdotool"), heldKey);
		QCOMPARE(rc, 0);
		QTest::qWait(200);
		settle();
		QCOMPARE(standin::calls(source), QStringList{QStringLiteral("pause")});

		// While a switch is pending the play/pause button is disabled, and so is its hotkey.
		auto graphicsHold = std::make_unique<GraphicsHold>();
		QVERIFY(graphicsHold->hold());
		standin::clearRecords(source);
		dock->loadTrack(idAt(2), false);
		TA::trackList(*dock)->setCurrentRow(0);
		obs_hotkey_inject_event(f9, true);
		obs_hotkey_inject_event(f9, false);
		QCoreApplication::processEvents();
		QCOMPARE(TA::currentTrackId(*dock), idAt(2));
		graphicsHold.reset();
		settle();
		QCOMPARE(standin::calls(source), QStringList{QStringLiteral("stop")}); // the switch's own
		QCOMPARE(standin::playlistOf(source), QStringList{files[2]});

		// Unregistered, the binding is gone from libobs.
		const obs_hotkey_id id = tracklane::hotkeyFor(Tracklane::Command::PlayPause);
		tracklane::unregisterHotkeys();
		obs_data_array_t *after = obs_hotkey_save(id);
		QCOMPARE(int(obs_data_array_count(after)), 0);
		obs_data_array_release(after);
	}

	// An end-mode hand-over as a remote client sees it. While the switch waits for the source's stop,
	// and until the source has begun the new track, the status says a switch is under way and names
	// the track the source's state belongs to; the stop and the wait are no state of the playback,
	// so between the two tracks the client hears only that the next one started.
	void remoteHandOverIsOnePictureWithNoStateBetween()
	{
		openRemote();
		TA::endMode(*dock) = 1;
		dock->loadTrack(idAt(0), false);
		settle();
		obs_source_media_started(source);
		QTest::qWait(400);
		const QList<testwebsocket::Event> first = testwebsocket::takeEvents();
		QVERIFY(!first.isEmpty());
		QCOMPARE(first.first().type, QStringLiteral("TrackStarted"));
		dock->pollTick(); // the dock knows the track's length
		// The new track then opens for a while before it begins, as VLC's does.
		{
			std::lock_guard<std::mutex> lock(standin::of(source)->mutex);
			standin::of(source)->playOnUpdate = false;
		}

		auto hold = std::make_unique<GraphicsHold>();
		QVERIFY(hold->hold());
		standin::setState(source, OBS_MEDIA_STATE_ENDED);
		dock->handleEndOfTrack(OBS_MEDIA_STATE_ENDED, 0);
		QVERIFY(TA::trackSwitchPending(*dock));
		QJsonObject status = remote("GetStatus");
		QCOMPARE(status.value(QStringLiteral("switchPending")).toBool(), true);
		QCOMPARE(numberOf(status), 1);
		QCOMPARE(stateOf(status), QStringLiteral("OBS_MEDIA_STATE_ENDED"));
		QTest::qWait(400);
		hold.reset();
		settle();
		QVERIFY(!TA::trackSwitchPending(*dock));
		QCOMPARE(standin::playlistOf(source), QStringList{files[1]});
		status = remote("GetStatus");
		QCOMPARE(status.value(QStringLiteral("switchPending")).toBool(), true);
		QCOMPARE(numberOf(status), 2);
		// A seek then would land in a track that has not begun: refused, as the slider is.
		standin::clearRecords(source);
		const QJsonObject seek = remote("Seek", QJsonObject{{QStringLiteral("ms"), 500}});
		QCOMPARE(errorOf(seek), QStringLiteral("switch pending"));
		QTest::qWait(400);
		QVERIFY2(!standin::calls(source).join(u' ').contains(QStringLiteral("set_time")),
			 qPrintable(standin::calls(source).join(u' ')));

		// VLC reports the start as it begins to open the file.
		standin::setState(source, OBS_MEDIA_STATE_OPENING);
		obs_source_media_started(source);
		QTest::qWait(400);
		QCOMPARE(remote("GetStatus").value(QStringLiteral("switchPending")).toBool(), true);
		// Play/Pause then, from the client, the dock or its slider, would stop the track that is
		// opening and load it again.
		QCOMPARE(errorOf(remote("PlayPause")), QStringLiteral("switch pending"));
		QVERIFY(!TA::playPauseButton(*dock)->isEnabled());
		QVERIFY(!TA::seekSlider(*dock)->isEnabled());
		QTest::qWait(400);
		QCOMPARE(standin::calls(source), QStringList());
		standin::setState(source, OBS_MEDIA_STATE_PLAYING);
		QTest::qWait(400);
		status = remote("GetStatus");
		QCOMPARE(status.value(QStringLiteral("switchPending")).toBool(), false);
		QCOMPARE(stateOf(status), QStringLiteral("OBS_MEDIA_STATE_PLAYING"));
		QStringList heard;
		for (const testwebsocket::Event &event : testwebsocket::takeEvents())
			heard << event.type + QLatin1Char(' ') +
					 QString::fromUtf8(QJsonDocument(event.data).toJson(QJsonDocument::Compact));
		QCOMPARE(heard.size(), 1);
		QVERIFY2(heard.first().startsWith(QStringLiteral("TrackStarted ")), qPrintable(heard.join(u'\n')));
		QVERIFY2(heard.first().contains(QStringLiteral("\"number\":2")), qPrintable(heard.first()));
	}

	// What remote requests answer is what the dock would do now: the track list only with a source
	// bound, a file that went away since the list was built reported missing, and each refusal with
	// its own error.
	void remoteAnswersAsTheDockIsNow()
	{
		openRemote();
		const QString goneLater = makeFile(QStringLiteral("gone-later.wav"));
		const QString goneId = addTrack(goneLater);
		QVERIFY(QFile::remove(goneLater));
		const QJsonObject listed = remote("GetTracks");
		QCOMPARE(listed.value(QStringLiteral("success")).toBool(), true);
		QStringList missing;
		for (const QJsonValue &track : listed.value(QStringLiteral("tracks")).toArray())
			if (track.toObject().value(QStringLiteral("missing")).toBool())
				missing << track.toObject().value(QStringLiteral("id")).toString();
		QCOMPARE(missing, QStringList{goneId});

		QCOMPARE(errorOf(remote("PlayTrack", {{QStringLiteral("id"), goneId}})),
			 QStringLiteral("missing file"));
		QCOMPARE(errorOf(remote("PlayTrack", {{QStringLiteral("id"), QStringLiteral("nothing")}})),
			 QStringLiteral("unknown track"));
		QCOMPARE(errorOf(remote("PlayTrack", {{QStringLiteral("number"), 1.5}})),
			 QStringLiteral("bad argument"));
		{
			GraphicsHold hold;
			QVERIFY(hold.hold());
			dock->loadTrack(idAt(1), false);
			QCOMPARE(errorOf(remote("PlayPause")), QStringLiteral("switch pending"));
		}
		settle();
		QCOMPARE(TA::currentTrackId(*dock), idAt(1));

		dock->bindSource(QString());
		const QJsonObject unbound = remote("GetTracks");
		QCOMPARE(unbound.value(QStringLiteral("success")).toBool(), false);
		QCOMPARE(errorOf(unbound), QStringLiteral("unbound"));
		QCOMPARE(remote("GetStatus").value(QStringLiteral("bound")).toBool(), false);
	}

	// A request the UI thread does not get to within its wait fails as busy, which a client can
	// tell from unbound and ask again; the command is dropped, never carried out late.
	void remoteRequestFindingTheUiThreadBusyIsDropped()
	{
		openRemote();
		dock->loadTrack(idAt(0), false);
		settle();
		{
			testwebsocket::Call next(QStringLiteral("OBS-Tracklane"), QStringLiteral("Next"));
			// The UI thread is held up here for longer than the request waits.
			const QJsonObject answer = next.answerWithoutEvents(6000);
			QCOMPARE(answer.value(QStringLiteral("success")).toBool(), false);
			QCOMPARE(errorOf(answer), QStringLiteral("busy"));
		}
		settle();
		QCOMPARE(TA::currentTrackId(*dock), idAt(0));
		QVERIFY(!TA::trackSwitchPending(*dock));
	}

	// While OBS's UI thread stalls, libobs's hotkey thread sees a tap go down and up; once the UI
	// thread runs again, the frontend hands libobs the same tap from the key events Qt queued
	// meanwhile, and libobs, finding the binding released, presses it a second time. Next must
	// still skip one track, and a press a moment later must act again.
	void oneTapActsOnceWhateverTheHostDelivers()
	{
		tracklane::currentDock = dock;
		tracklane::registerHotkeys();
		tracklane::registerModuleData();
		obs_data_t *modules = obs_data_create_from_json(
			R"({"OBS-Tracklane": {"hotkeys": {"OBS-Tracklane.Next": [{"key": "OBS_KEY_F10"}]}}})");
		testfrontend::fireSave(modules, false);
		obs_data_release(modules);
		obs_hotkey_enable_background_press(true);
		dock->loadTrack(idAt(0), false);
		settle();

		const int f10Keycode = keycodeOf("F10");
		QVERIFY(f10Keycode > 0);
		const QString f10Key = QString::number(f10Keycode);
		QVERIFY(QProcess::startDetached(QStringLiteral("xdotool"),
						{QStringLiteral("keydown"), f10Key, QStringLiteral("sleep"),
						 QStringLiteral("0.1"), QStringLiteral("keyup"), f10Key}));
		// The UI thread is stopped while the key goes down and up.
		std::this_thread::sleep_for(std::chrono::milliseconds(800));
		const obs_key_combination_t f10 = {0, OBS_KEY_F10};
		obs_hotkey_inject_event(f10, true);
		obs_hotkey_inject_event(f10, false);
		settle();
		QCOMPARE(TA::currentTrackId(*dock), idAt(1));

		QTest::qWait(300);
		obs_hotkey_inject_event(f10, true);
		obs_hotkey_inject_event(f10, false);
		settle();
		QCOMPARE(TA::currentTrackId(*dock), idAt(2));
	}
};

TRACKLANE_TEST_MAIN(PlaybackTest)
#include "test_playback.moc"
