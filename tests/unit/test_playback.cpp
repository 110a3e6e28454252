// Playing tracks through the stand-in "vlc_source": the two-half track switch across libobs's
// graphics thread, transport commands, end modes, the control table, time display and seeking.

#include "test_host.hpp"
#include "graphics_hold.hpp"
#include "test_access.hpp"
#include "frontend.hpp"
#include "stand_in_source.hpp"
#include "module/plugin-module.hpp"
#include "source/playlist-data.hpp"
#include "module/hotkeys.hpp"
#include "module/ModuleData.hpp"
#include "playback/SeekSlider.hpp"

#include <util/platform.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <atomic>
#include <limits>
#include <memory>
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

	void cleanup()
	{
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
};

TRACKLANE_TEST_MAIN(PlaybackTest)
#include "test_playback.moc"
