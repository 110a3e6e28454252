// Times the dock's operations on large track lists and a large scene collection against bare Qt and
// libobs work of the same kind, and prints both medians and their ratio. Runs the real libobs (with
// the stand-in "vlc_source") and real widgets; meant for `tools/dev bench`, under Xvfb.
//
//   tracklane-bench [TRACKS...]     sizes to measure (default 1000 10000 50000)
//   TRACKLANE_BENCH_ONLY=text       only the operations whose name contains the text

#include "test_host.hpp"
#include "test_access.hpp"
#include "list_drag.hpp"
#include "frontend.hpp"
#include "stand_in_source.hpp"
#include "stand_in_text.hpp"
#include "module/NowPlaying.hpp"
#include "module/NowPlayingFile.hpp"
#include "tracks/FileProbe.hpp"
#include "tracks/TrackEntry.hpp"

#include <obs.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollBar>
#include <QSlider>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QToolButton>
#include <QThread>
#include <QUuid>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#ifndef BENCH_RUN_SCALE
#define BENCH_RUN_SCALE 1
#endif
namespace {

// ---------------------------------------------------------------------------------------------
// Timing

struct Sample {
	double medianMs = 0;
	int runs = 0;
};

// What to time: the setup runs before every run and is never timed.
struct Timed {
	std::function<void()> setup;
	std::function<void()> op;
	int minRuns = 7;
	int maxRuns = 41;
};

Timed measure(std::function<void()> setup, std::function<void()> op, int minRuns = 7, int maxRuns = 41)
{
	return Timed{std::move(setup), std::move(op), minRuns, maxRuns};
}

Sample median(std::vector<double> times)
{
	std::sort(times.begin(), times.end());
	const size_t n = times.size();
	Sample s;
	s.medianMs = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
	s.runs = int(n);
	return s;
}

// The operation and its baseline take turns, so that both meet the same load from the rest of
// the machine and their ratio holds even while other work shares the cores. One untimed warm-up
// each, then runs until each has at least its minRuns, at most its maxRuns, and no more once
// about three seconds have gone by.
std::pair<Sample, Sample> runInTurns(const Timed &a, const Timed &b)
{
	const Timed *both[2] = {&a, &b};
	std::vector<double> times[2];
	for (const Timed *t : both) {
		t->setup();
		t->op();
	}
	QElapsedTimer total;
	total.start();
	auto wantsMore = [&](int i) {
		const int runs = int(times[i].size());
		return runs < both[i]->maxRuns * BENCH_RUN_SCALE &&
		       (runs < both[i]->minRuns || total.elapsed() < 3000 * BENCH_RUN_SCALE);
	};
	while (wantsMore(0) || wantsMore(1)) {
		for (int i = 0; i < 2; ++i) {
			if (!wantsMore(i))
				continue;
			both[i]->setup();
			QElapsedTimer t;
			t.start();
			both[i]->op();
			times[i].push_back(double(t.nsecsElapsed()) / 1e6);
		}
	}
	return {median(times[0]), median(times[1])};
}

void noSetup() {}

// Operations whose name contains this text (TRACKLANE_BENCH_ONLY), or every operation.
bool wanted(const QString &operation)
{
	static const QString only = qEnvironmentVariable("TRACKLANE_BENCH_ONLY");
	return only.isEmpty() || operation.contains(only, Qt::CaseInsensitive);
}

void settleEvents()
{
	QCoreApplication::processEvents();
	QCoreApplication::processEvents();
}

struct Row {
	QString operation;
	int tracks;
	Sample op;
	Sample base;
	QString baseline;
};

std::vector<Row> rows;

void report(const QString &operation, int tracks, const Timed &timedOp, const Timed &timedBase, const QString &baseline)
{
	const auto [op, base] = runInTurns(timedOp, timedBase);
	rows.push_back({operation, tracks, op, base, baseline});
	std::printf("%-40s %6d  %10.4f ms  %10.5f ms  %7.2fx  (%d/%d runs)  baseline: %s\n", qPrintable(operation),
		    tracks, op.medianMs, base.medianMs, base.medianMs > 0 ? op.medianMs / base.medianMs : 0.0, op.runs,
		    base.runs, qPrintable(baseline));
	std::fflush(stdout);
}

// ---------------------------------------------------------------------------------------------
// The scene collection: 500 media sources in 100 scenes. Each scene holds three sources, a group
// of two more, and (in runs of ten) the scene before it, so scenes nest up to ten deep.

constexpr int SceneCount = 100;
constexpr int MediaPerScene = 5;

struct Collection {
	std::vector<obs_source_t *> media;
	std::vector<obs_scene_t *> scenes;

	void build()
	{
		for (int i = 0; i < SceneCount; ++i) {
			obs_scene_t *scene = obs_scene_create(
				qPrintable(QStringLiteral("Scene %1").arg(i, 3, 10, QLatin1Char('0'))));
			scenes.push_back(scene);
			obs_sceneitem_t *group = obs_scene_add_group(
				scene, qPrintable(QStringLiteral("Group %1").arg(i, 3, 10, QLatin1Char('0'))));
			obs_scene_t *groupScene = obs_sceneitem_group_get_scene(group);
			for (int k = 0; k < MediaPerScene; ++k) {
				const int n = i * MediaPerScene + k;
				obs_source_t *source = standin::create(
					qPrintable(QStringLiteral("Media %1").arg(n, 3, 10, QLatin1Char('0'))));
				media.push_back(source);
				obs_scene_add(k < 3 ? scene : groupScene, source);
			}
			if (i % 10 != 0)
				obs_scene_add(scene, obs_scene_get_source(scenes[size_t(i - 1)]));
		}
	}

	void release()
	{
		for (auto it = scenes.rbegin(); it != scenes.rend(); ++it) {
			obs_source_remove(obs_scene_get_source(*it));
			obs_scene_release(*it);
		}
		for (obs_source_t *source : media) {
			obs_source_remove(source);
			obs_source_release(source);
		}
		scenes.clear();
		media.clear();
	}
};

// The least a source selector needs: every source looked at once, every scene's items (and its
// groups' items) visited once.
bool countSource(void *param, obs_source_t *)
{
	++*static_cast<int *>(param);
	return true;
}

bool countItem(obs_scene_t *, obs_sceneitem_t *item, void *param)
{
	++*static_cast<int *>(param);
	if (obs_sceneitem_is_group(item))
		obs_sceneitem_group_enum_items(item, countItem, param);
	return true;
}

bool countScene(void *param, obs_source_t *scene)
{
	obs_scene_enum_items(obs_scene_from_source(scene), countItem, param);
	return true;
}

volatile int sink = 0;

void enumerateBare()
{
	int n = 0;
	obs_enum_sources(countSource, &n);
	obs_enum_scenes(countScene, &n);
	sink = n;
}

// ---------------------------------------------------------------------------------------------
// Track files on disk

const char *const Artists[] = {"Khruangbin", "Portishead",        "Stereolab", "Boards of Canada", "Air",
			       "Broadcast",  "Nightmares on Wax", "Bonobo",    "Massive Attack",   "Tycho"};

QByteArray wavBytes(int samples)
{
	QByteArray bytes;
	const auto le = [&bytes](quint32 v, int n) {
		for (int k = 0; k < n; ++k)
			bytes.append(char((v >> (8 * k)) & 0xff));
	};
	bytes.append("RIFF");
	le(quint32(36 + samples), 4);
	bytes.append("WAVEfmt ");
	le(16, 4);
	le(1, 2);    // PCM
	le(1, 2);    // mono
	le(8000, 4); // samples a second
	le(8000, 4); // bytes a second
	le(1, 2);    // block size
	le(8, 2);    // bits a sample
	bytes.append("data");
	le(quint32(samples), 4);
	bytes.append(QByteArray(samples, char(0x80)));
	return bytes;
}

QStringList makeFiles(const QString &dir, int count)
{
	QStringList paths;
	paths.reserve(count);
	for (int i = 0; i < count; ++i) {
		const QString name = QStringLiteral("%1 - %2 - Track %3.mp3")
					     .arg(QString::number(i / 1000 + 1), QString::fromLatin1(Artists[i % 10]))
					     .arg(i, 5, 10, QLatin1Char('0'));
		const QString path = QDir(dir).filePath(name);
		QFile f(path);
		if (!f.open(QIODevice::WriteOnly))
			qFatal("cannot write %s", qPrintable(path));
		// A short WAV (8 kHz, mono, 8 bits) under each name, so that the workers find real durations.
		f.write(wavBytes(1 + i % 4096));
		paths << path;
	}
	return paths;
}

// ---------------------------------------------------------------------------------------------

// What a start shown to the audience needs at the least: the three tags from the source, and the
// text source given the new line.
void bareNowPlaying(obs_source_t *media, obs_source_t *text, const char *line)
{
	proc_handler_t *handler = obs_source_get_proc_handler(media);
	QString tags;
	for (const char *tag : {"title", "artist", "album"}) {
		calldata_t call = {};
		calldata_set_string(&call, "tag_id", tag);
		proc_handler_call(handler, "get_metadata", &call);
		tags += QString::fromUtf8(calldata_string(&call, "tag_data"));
		calldata_free(&call);
	}
	obs_data_t *settings = obs_data_create();
	obs_data_set_string(settings, "text", line);
	obs_source_update(text, settings);
	obs_data_release(settings);
}

struct Bench {
	Collection collection;
	obs_source_t *bound = nullptr;
	QTemporaryDir settingsDir;
	Tracklane *dock = nullptr;
	QListWidget *plain = nullptr;
	QLabel *plainLabel = nullptr;
	QSlider *plainSlider = nullptr;

	// The plain list filled with one item per text; like the dock's rebuild, it makes the given
	// row current when there is one.
	void fillPlain(const QStringList &texts, int currentRow = -1)
	{
		plain->clear();
		for (const QString &text : texts)
			plain->addItem(text);
		if (currentRow >= 0)
			plain->setCurrentRow(currentRow, QItemSelectionModel::ClearAndSelect);
	}

	void runSize(const QStringList &allFiles, int n)
	{
		const QStringList files = allFiles.mid(0, n);
		Tracklane &d = *dock;
		QListWidget *list = TA::trackList(d);

		// Imported from the source's playlist, as a fresh source is. An earlier size left a list the
		// dock manages, which keeps itself against a playlist put in from outside: the dock lets go
		// of the source and its saved state goes first.
		dock->bindSource(QString());
		obs_data_t *savedSettings = obs_source_get_private_settings(bound);
		obs_data_erase(savedSettings, "OBS-Tracklane");
		obs_data_release(savedSettings);
		standin::setPlaylist(bound, files);
		testhost::waitForGraphicsTicks(2);
		dock->bindSource(QString::fromUtf8(obs_source_get_uuid(bound)));
		settleEvents();
		if (TA::tracks(d).size() != n || list->count() != n)
			qFatal("the dock did not import %d tracks", n);
		const QString middleId = TA::tracks(d)[n / 2].id;

		// Plain items with the same texts as the dock's rows are matched against.
		fillPlain(files);
		settleEvents();

		// rebuildTrackList
		if (wanted(QStringLiteral("rebuildTrackList, sizes to probe")))
			report(QStringLiteral("rebuildTrackList, sizes to probe"), n,
			       measure(
				       [&] {
					       for (TrackEntry &t : TA::tracks(d))
						       t.sizeBytes = SizeNotProbed;
					       // Each run asks anew, as a fresh list does.
					       if (TA::fileProbe(d))
						       TA::fileProbe(d)->cancel();
					       TA::probesAwaited(d).clear();
					       settleEvents();
				       },
				       [&] { dock->rebuildTrackList(middleId); }),
			       measure(settleEvents,
				       [&] {
					       fillPlain(files, n / 2);
					       qint64 total = 0;
					       for (const QString &f : files)
						       total += QFileInfo(f).size();
					       sink = int(total);
				       }),
			       QStringLiteral(
				       "plain QListWidget fill + QFileInfo::size per file, middle row made current"));
		// From a rebuild with nothing known to every size and duration shown: the workers' whole
		// run, with the UI thread taking their batches as they come. The baseline is the same look
		// at every file (stat, libavformat's header) one after the other on one thread.
		if (wanted(QStringLiteral("every size and duration known"))) {
			const auto unknown = [&] {
				for (TrackEntry &t : TA::tracks(d)) {
					t.sizeBytes = SizeNotProbed;
					t.durationMs = DurationNotProbed;
				}
				if (TA::fileProbe(d))
					TA::fileProbe(d)->cancel();
				TA::probesAwaited(d).clear();
				settleEvents();
			};
			report(QStringLiteral("every size and duration known"), n,
			       measure(
				       unknown,
				       [&] {
					       dock->rebuildTrackList(middleId);
					       if (!TA::settleFileProbes(d, 600000))
						       qFatal("the file figures did not arrive");
				       },
				       1, 3),
			       measure(
				       noSetup,
				       [&] {
					       qint64 total = 0;
					       for (const QString &f : files)
						       total += probeFile(f).durationMs;
					       sink = int(total);
				       },
				       1, 3),
			       QStringLiteral("stat + libavformat header per file, one after the other on one thread"));
			for (const TrackEntry &t : TA::tracks(d))
				if (t.durationMs < 0 || t.sizeBytes < 0)
					qFatal("a track has no figures: %s", qPrintable(t.path));
		}
		if (wanted(QStringLiteral("rebuildTrackList, sizes known")))
			report(QStringLiteral("rebuildTrackList, sizes known"), n,
			       measure(settleEvents, [&] { dock->rebuildTrackList(middleId); }),
			       measure(settleEvents, [&] { fillPlain(files, n / 2); }),
			       QStringLiteral("plain QListWidget fill, middle row made current"));

		// applyFilter: from an empty search to the text, as typing it does.
		QLineEdit *search = TA::searchEdit(d);
		const QStringList searches = {QStringLiteral("a"), QStringLiteral("portishead"),
					      QStringLiteral("#%1").arg(n / 2)};
		const QStringList searchNames = {QStringLiteral("one letter"), QStringLiteral("ten letters"),
						 QStringLiteral("\"#\" number")};
		for (int s = 0; s < searches.size(); ++s) {
			const QString operation = QStringLiteral("applyFilter, %1").arg(searchNames[s]);
			if (!wanted(operation))
				continue;
			const QString text = searches[s];
			const bool number = text.startsWith(QLatin1Char('#'));
			const int wantedRow = number ? text.mid(1).toInt() : 0;
			const Timed op = measure(
				[&] {
					const bool b = search->blockSignals(true);
					search->clear();
					dock->applyFilter();
					search->setText(text);
					search->blockSignals(b);
					settleEvents();
				},
				[&] { dock->applyFilter(); });
			const Timed base = measure(
				[&] {
					for (int row = 0; row < plain->count(); ++row)
						plain->item(row)->setHidden(false);
					settleEvents();
				},
				[&] {
					const int count = plain->count();
					QListWidgetItem *first = nullptr;
					for (int row = 0; row < count; ++row) {
						QListWidgetItem *item = plain->item(row);
						const bool match =
							number ? row + 1 == wantedRow
							       : item->text().contains(text, Qt::CaseInsensitive);
						item->setHidden(!match);
						if (match && !first)
							first = item;
					}
					// Like the dock, a search lands on its first hit.
					plain->setCurrentItem(first, QItemSelectionModel::ClearAndSelect);
					plain->scrollToItem(first, QAbstractItemView::EnsureVisible);
				});
			report(operation, n, op, base,
			       QStringLiteral(
				       "setHidden per row, plain substring/number test, first hit made current"));
		}
		// A rebuild while a search hides all rows but a few: the old list's hidden rows must not make
		// taking it apart cost more per row.
		if (wanted(QStringLiteral("rebuildTrackList, search hides most rows"))) {
			const QString text = QStringLiteral("#%1").arg(n / 2);
			const bool b = search->blockSignals(true);
			search->setText(text);
			search->blockSignals(b);
			report(QStringLiteral("rebuildTrackList, search hides most rows"), n,
			       measure(
				       [&] {
					       dock->applyFilter();
					       settleEvents();
				       },
				       [&] { dock->rebuildTrackList(middleId); }),
			       measure(settleEvents,
				       [&] {
					       fillPlain(files, n / 2);
					       for (int row = 0; row < plain->count(); ++row)
						       plain->item(row)->setHidden(row != n / 2);
				       }),
			       QStringLiteral("plain QListWidget fill, then setHidden on every row but one"));
		}
		{
			const bool b = search->blockSignals(true);
			search->clear();
			search->blockSignals(b);
			dock->applyFilter();
			for (int row = 0; row < plain->count(); ++row)
				plain->item(row)->setHidden(false);
			settleEvents();
		}

		// saveSourceState against the same obs_data built by hand.
		if (wanted(QStringLiteral("saveSourceState")))
			report(QStringLiteral("saveSourceState"), n, measure(noSetup, [&] { dock->saveSourceState(); }),
			       measure(noSetup, [&] { buildStateByHand(d); }),
			       QStringLiteral("the same obs_data built by hand"));

		// loadSourceState: trusted (the saved list matches the playlist) and import (forced).
		if (wanted(QStringLiteral("loadSourceState, trusted")))
			report(QStringLiteral("loadSourceState, trusted"), n,
			       measure(settleEvents, [&] { dock->loadSourceState(bound, false); }),
			       measure(settleEvents, [&] { loadByHand(d, files, false); }),
			       QStringLiteral("read by hand + QFileInfo::size + plain fill + build by hand"));
		if (TA::tracks(d).size() != n)
			qFatal("the trusted load lost tracks");
		if (wanted(QStringLiteral("loadSourceState, import")))
			report(QStringLiteral("loadSourceState, import"), n,
			       measure(settleEvents, [&] { dock->loadSourceState(bound, true); }),
			       measure(settleEvents, [&] { loadByHand(d, files, true); }),
			       QStringLiteral("as trusted + a new QUuid per track"));

		// Play the middle track, then time the poll while bound and playing.
		const QString playId = TA::tracks(d)[n / 2].id;
		dock->loadTrack(playId, false);
		for (int i = 0; i < 20 && TA::trackSwitchPending(d); ++i) {
			testhost::waitForGraphicsTicks(2);
			settleEvents();
		}
		if (TA::trackSwitchPending(d) || obs_source_media_get_state(bound) != OBS_MEDIA_STATE_PLAYING)
			qFatal("the dock is not playing");
		standin::setTime(bound, 61000);
		standin::setDuration(bound, 240000);
		dock->pollTick();
		settleEvents();
		if (!TA::boundSource(d) || TA::currentTrackId(d) != playId)
			qFatal("the dock lost its source before the poll was timed");

		if (wanted(QStringLiteral("pollTick, ordinary tick")))
			report(QStringLiteral("pollTick, ordinary tick"), n,
			       measure([&] { TA::pollTickCount(d) = 0; }, [&] { dock->pollTick(); }, 15, 201),
			       measure(
				       noSetup, [&] { bareTick(d); }, 15, 201),
			       QStringLiteral("media state/time/duration shown on a plain label and slider, "
					      "+ setEnabled on the controls"));
		if (wanted(QStringLiteral("pollTick, fourth tick")))
			report(QStringLiteral("pollTick, fourth tick"), n,
			       measure([&] { TA::pollTickCount(d) = 3; }, [&] { dock->pollTick(); }, 15, 201),
			       measure(
				       noSetup,
				       [&] {
					       enumerateBare();
					       bareTick(d);
				       },
				       15, 201),
			       QStringLiteral("enumerate sources + scene items, + the ordinary tick's baseline"));
		// What a start of the playing track costs once now playing is set up (text source and file),
		// with a new line every time; the file itself is written on the writer's thread.
		if (wanted(QStringLiteral("now playing"))) {
			obs_source_t *text = standin::createText("Bench now playing");
			const QString playPath = TA::tracks(d)[n / 2].path;
			auto now = std::make_unique<tracklane::NowPlaying>(dock);
			now->followFrontendEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);
			tracklane::NowPlayingSettings settings;
			settings.textSourceUuid = QString::fromUtf8(obs_source_get_uuid(text));
			settings.filePath = settingsDir.filePath(QStringLiteral("now-playing.txt"));
			settings.idleText = QStringLiteral("Off air");
			now->setSettings(settings);
			int round = 0;
			const auto nextTags = [&]() {
				++round;
				const QByteArray title = QByteArray("Title ") + QByteArray::number(round);
				standin::setTags(bound, playPath,
						 {{QStringLiteral("title"), title},
						  {QStringLiteral("artist"), "Artist"},
						  {QStringLiteral("album"), "Album"}});
			};
			report(QStringLiteral("now playing, track start"), n,
			       measure(nextTags, [&] { Q_EMIT dock->playbackNotices().trackStarted(); }, 15, 201),
			       measure(nextTags,
				       [&] {
					       const QByteArray line = QByteArray("Artist \xe2\x80\x93 Title ") +
								       QByteArray::number(round);
					       bareNowPlaying(bound, text, line.constData());
				       },
				       15, 201),
			       QStringLiteral("three get_metadata calls and a text source update"));
			report(QStringLiteral("now playing, stop"), n,
			       measure(
				       [&] {
					       nextTags();
					       Q_EMIT dock->playbackNotices().trackStarted();
				       },
				       [&] { Q_EMIT dock->playbackNotices().playbackStopped(); }, 15, 201),
			       measure(
				       [&] { bareNowPlaying(bound, text, "Artist"); },
				       [&] {
					       obs_data_t *idle = obs_data_create();
					       obs_data_set_string(idle, "text", "Off air");
					       obs_source_update(text, idle);
					       obs_data_release(idle);
				       },
				       15, 201),
			       QStringLiteral("a text source update"));
			if (!now->fileWriter().waitUntilIdle(10000) || now->line() != QStringLiteral("Off air"))
				qFatal("now playing did not settle: %s", qPrintable(now->line()));
			now.reset();
			obs_source_remove(text);
			obs_source_release(text);
			testhost::waitForGraphicsTicks(2);
		}

		if (TA::currentTrackId(d) != playId || TA::tracks(d).size() != n || !TA::boundSource(d))
			qFatal("the poll changed the dock's state: current %s, %d tracks, bound %p, uuid %s",
			       qPrintable(TA::currentTrackId(d)), int(TA::tracks(d).size()), (void *)TA::boundSource(d),
			       qPrintable(TA::sourceUuid(d)));

		const Timed enumBase = measure(noSetup, enumerateBare, 15, 201);
		if (wanted(QStringLiteral("refreshSourceSelector, unchanged")))
			report(QStringLiteral("refreshSourceSelector, unchanged"), n,
			       measure(
				       noSetup, [&] { dock->refreshSourceSelector(); }, 15, 201),
			       enumBase, QStringLiteral("enumerate sources + scene items"));
		obs_source_t *renamed = collection.media[250];
		bool flip = false;
		if (wanted(QStringLiteral("refreshSourceSelector, one renamed")))
			report(QStringLiteral("refreshSourceSelector, one renamed"), n,
			       measure(
				       [&] {
					       flip = !flip;
					       obs_source_set_name(renamed, flip ? "Media 250 (live)" : "Media 250");
				       },
				       [&] { dock->refreshSourceSelector(); }, 15, 201),
			       enumBase, QStringLiteral("enumerate sources + scene items"));
		obs_source_set_name(renamed, "Media 250");
		dock->refreshSourceSelector();
		if (TA::sourceUuid(d) != QString::fromUtf8(obs_source_get_uuid(bound)) || TA::tracks(d).size() != n)
			qFatal("the selector lost the bound source");

		if (wanted(QStringLiteral("updateTransportControls")))
			report(QStringLiteral("updateTransportControls"), n,
			       measure(
				       noSetup, [&] { dock->updateTransportControls(); }, 15, 201),
			       measure(
				       noSetup, [&] { bareControls(d); }, 15, 201),
			       QStringLiteral("resolve + media state + setEnabled on the controls"));

		// A drag of many selected rows within the list: Qt moves them one by one.
		for (const int count : {200, 500}) {
			const QString operation = QStringLiteral("drop of %1 dragged rows").arg(count);
			if (!wanted(operation) || n < 2 * count)
				continue;
			const int first = n / 2;
			plain->setSelectionMode(QAbstractItemView::ExtendedSelection);
			plain->setDragDropMode(QAbstractItemView::InternalMove);
			// Both drags must really move the rows, or the figures compare nothing.
			for (QListWidget *view : {list, plain}) {
				const QString moved = view->item(first)->text();
				selectRows(view, first, count);
				dragRowsUp(view, first);
				if (view->item(first - 3)->text() != moved)
					qFatal("the drag did not move the rows of %s", view == list ? "the dock" : "the plain list");
			}
			report(operation, n,
			       measure([&] { selectRows(list, first, count); }, [&] { dragRowsUp(list, first); }, 3, 9),
			       measure([&] { selectRows(plain, first, count); }, [&] { dragRowsUp(plain, first); }, 3, 9),
			       QStringLiteral("plain QListWidget, the same drag"));
			plain->setDragDropMode(QAbstractItemView::NoDragDrop);
			plain->setSelectionMode(QAbstractItemView::SingleSelection);
			if (TA::tracks(d).size() != n || list->count() != n)
				qFatal("the drop lost rows");
		}

		// One screen of rows, scrolled to the current track.
		list->scrollToItem(list->item(n / 2), QAbstractItemView::PositionAtCenter);
		plain->scrollToItem(plain->item(n / 2), QAbstractItemView::PositionAtCenter);
		settleEvents();
		QImage image(list->viewport()->size(), QImage::Format_ARGB32_Premultiplied);
		QImage plainImage(plain->viewport()->size(), QImage::Format_ARGB32_Premultiplied);
		if (wanted(QStringLiteral("paint one screen (TrackDelegate)")))
			report(QStringLiteral("paint one screen (TrackDelegate)"), n,
			       measure(
				       noSetup, [&] { list->viewport()->render(&image); }, 15, 101),
			       measure(
				       noSetup, [&] { plain->viewport()->render(&plainImage); }, 15, 101),
			       QStringLiteral("plain QListWidget, same size, default delegate"));
	}

	// Rows first .. first + count - 1 selected, with a few rows above them in view.
	static void selectRows(QListWidget *list, int first, int count)
	{
		// The drop goes to the window under the pointer; with no window manager the benchmark's
		// windows lie on top of each other.
		list->window()->raise();
		list->scrollToItem(list->item(first - 5), QAbstractItemView::PositionAtTop);
		list->setCurrentItem(list->item(first), QItemSelectionModel::NoUpdate);
		list->selectionModel()->select(
			QItemSelection(list->model()->index(first, 0), list->model()->index(first + count - 1, 0)),
			QItemSelectionModel::ClearAndSelect);
		settleEvents();
	}

	// The selected rows dragged three rows up with the mouse.
	static void dragRowsUp(QListWidget *list, int first)
	{
		const QPoint from = list->visualItemRect(list->item(first)).center();
		const QRect target = list->visualItemRect(list->item(first - 3));
		dragWithMouse(list, from, QPoint(target.left() + 10, target.top() + 2));
	}

	void buildStateByHand(Tracklane &d)
	{
		obs_data_t *privateSettings = obs_source_get_private_settings(bound);
		obs_data_t *state = obs_data_create();
		obs_data_array_t *array = obs_data_array_create();
		for (const TrackEntry &track : TA::tracks(d)) {
			obs_data_t *item = obs_data_create();
			obs_data_set_string(item, "value", track.path.toUtf8().constData());
			obs_data_set_string(item, "id", track.id.toUtf8().constData());
			obs_data_array_push_back(array, item);
			obs_data_release(item);
		}
		obs_data_array_t *observed = obs_data_array_create();
		for (const QString &path : TA::observedPlaylist(d)) {
			obs_data_t *item = obs_data_create();
			obs_data_set_string(item, "value", path.toUtf8().constData());
			obs_data_array_push_back(observed, item);
			obs_data_release(item);
		}
		obs_data_set_array(state, "tracks", array);
		obs_data_set_array(state, "observed", observed);
		obs_data_set_obj(privateSettings, "OBS-Tracklane-bench", state);
		obs_data_array_release(observed);
		obs_data_array_release(array);
		obs_data_release(state);
		obs_data_release(privateSettings);
	}

	void loadByHand(Tracklane &d, const QStringList &files, bool import)
	{
		obs_data_t *privateSettings = obs_source_get_private_settings(bound);
		obs_data_t *state = obs_data_get_obj(privateSettings, "OBS-Tracklane");
		obs_data_array_t *array = obs_data_get_array(state, "tracks");
		const size_t count = obs_data_array_count(array);
		QStringList paths, ids;
		paths.reserve(qsizetype(count));
		for (size_t i = 0; i < count; ++i) {
			obs_data_t *item = obs_data_array_item(array, i);
			paths << QString::fromUtf8(obs_data_get_string(item, "value"));
			ids << (import ? QUuid::createUuid().toString(QUuid::WithoutBraces)
				       : QString::fromUtf8(obs_data_get_string(item, "id")));
			obs_data_release(item);
		}
		obs_data_array_release(array);
		obs_data_release(state);
		obs_data_release(privateSettings);
		qint64 total = 0;
		for (const QString &p : paths)
			total += QFileInfo(p).size();
		sink = int(total);
		if (paths.size() != files.size())
			qFatal("the by-hand load read %d of %d tracks", int(paths.size()), int(files.size()));
		fillPlain(paths, int(paths.size()) / 2);
		buildStateByHand(d);
	}

	// What a tick must show: the media time as text and as a slider position, and which controls
	// work with the source's state.
	void bareTick(Tracklane &d)
	{
		obs_source_t *source = obs_weak_source_get_source(TA::boundSource(d));
		sink = int(obs_source_media_get_state(source));
		const qint64 time = obs_source_media_get_time(source);
		const qint64 duration = obs_source_media_get_duration(source);
		plainSlider->setValue(duration > 0 ? int(time * 1000 / duration) : 0);
		plainLabel->setText(
			QStringLiteral("%1:%2").arg(time / 60000).arg(time / 1000 % 60, 2, 10, QLatin1Char('0')));
		obs_source_release(source);
		bareControls(d);
	}

	void bareControls(Tracklane &d)
	{
		obs_source_t *source = obs_weak_source_get_source(TA::boundSource(d));
		const bool usable = source && obs_source_media_get_state(source) != OBS_MEDIA_STATE_ERROR;
		for (QToolButton *b : {TA::playPauseButton(d), TA::stopButton(d), TA::previousButton(d),
				       TA::nextButton(d), TA::addFilesButton(d)})
			b->setEnabled(usable);
		for (QAction *a : {TA::removeAction(d), TA::undoRemoveAction(d), TA::locateCurrentAction(d),
				   TA::openFolderAction(d), TA::moveUpAction(d), TA::moveDownAction(d),
				   TA::moveTopAction(d), TA::moveBottomAction(d), TA::restorePlaylistAction(d)})
			a->setEnabled(a->isEnabled());
		TA::endModeCombo(d)->setEnabled(usable);
		obs_source_release(source);
	}

	int run(const QList<int> &sizes)
	{
		collection.build();
		standin::registerTextSourceType();
		bound = collection.media[0];
		testfrontend::state().scenes.clear();

		dock = new Tracklane(settingsDir.filePath(QStringLiteral("settings.json")), nullptr);
		TA::pollTimer(*dock).stop(); // only the benchmark drives the poll
		dock->resize(420, 760);
		dock->show();
		plain = new QListWidget();
		// Rows of one height, as in the dock's list: without it every layout measures every row.
		plain->setUniformItemSizes(true);
		plain->resize(TA::trackList(*dock)->size());
		plain->show();
		// The baseline's own time label and slider, shown beside the plain list as the dock's are.
		plainLabel = new QLabel(QStringLiteral("0:00"));
		plainLabel->show();
		plainSlider = new QSlider(Qt::Horizontal);
		plainSlider->setRange(0, 1000);
		plainSlider->show();
		// As after a restart with this source chosen: the selector shows it and the dock is bound.
		TA::sourceUuid(*dock) = QString::fromUtf8(obs_source_get_uuid(bound));
		dock->onCollectionLoaded();
		settleEvents();
		if (TA::sourceSelector(*dock)->count() != SceneCount * MediaPerScene + 1 ||
		    TA::sourceSelector(*dock)->currentData().toString() != TA::sourceUuid(*dock) ||
		    !TA::boundSource(*dock))
			qFatal("the selector lists %d entries and is not on the bound source",
			       TA::sourceSelector(*dock)->count());

		QTemporaryDir filesDir;
		const int most = *std::max_element(sizes.begin(), sizes.end());
		QElapsedTimer made;
		made.start();
		const QStringList files = makeFiles(filesDir.path(), most);
		std::printf("%d track files made in %lld ms; %d sources in %d scenes; list viewport %dx%d\n\n", most,
			    made.elapsed(), int(collection.media.size()), SceneCount,
			    TA::trackList(*dock)->viewport()->width(), TA::trackList(*dock)->viewport()->height());
		std::printf("%-40s %6s  %13s  %13s  %8s\n", "operation", "tracks", "median", "baseline", "ratio");
		for (int n : sizes)
			runSize(files, n);

		delete plain;
		delete plainLabel;
		delete plainSlider;
		delete dock;
		collection.release();
		testhost::waitForGraphicsTicks(2);
		return 0;
	}
};

} // namespace

int main(int argc, char **argv)
{
	QApplication app(argc, argv);
	QList<int> sizes;
	for (int i = 1; i < argc; ++i)
		sizes << QString::fromLocal8Bit(argv[i]).toInt();
	sizes.removeAll(0);
	if (sizes.isEmpty())
		sizes = {1000, 10000, 50000};
	if (!testhost::start())
		return 2;
	std::printf("Tracklane benchmark: Qt %s, libobs %s, %s, %d cores\n", qVersion(), obs_get_version_string(),
		    qPrintable(QSysInfo::prettyProductName()), QThread::idealThreadCount());
	int rc;
	{
		Bench bench;
		rc = bench.run(sizes);
	}
	testfrontend::reset();
	const long leaks = testhost::stop();
	if (leaks != 0)
		std::fprintf(stderr, "libobs: %ld allocations leaked\n", leaks);
	return rc;
}
