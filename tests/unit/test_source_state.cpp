#include "test_host.hpp"
#include "test_access.hpp"
#include "stand_in_source.hpp"
#include "source_test_support.hpp"
#include "source/playlist-data.hpp"
#include "module/plugin-main.hpp"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QLabel>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

using namespace sourcetest;

namespace {

void touch(const QString &path)
{
	QFile file(path);
	QVERIFY(file.open(QIODevice::WriteOnly));
	file.write("x");
}

obs_data_t *mediaSettings(bool loop, bool shuffle, const char *behavior)
{
	obs_data_t *settings = obs_data_create();
	obs_data_set_bool(settings, "loop", loop);
	obs_data_set_bool(settings, "shuffle", shuffle);
	if (behavior)
		obs_data_set_string(settings, "playback_behavior", behavior);
	return settings;
}

QJsonArray tracksJson(const QStringList &paths, const QStringList &ids)
{
	QJsonArray array;
	for (int i = 0; i < paths.size(); ++i)
		array.append(QJsonObject{{QStringLiteral("value"), paths[i]}, {QStringLiteral("id"), ids[i]}});
	return array;
}

QJsonArray valuesJson(const QStringList &paths)
{
	QJsonArray array;
	for (const QString &path : paths)
		array.append(QJsonObject{{QStringLiteral("value"), path}});
	return array;
}

const QStringList SavedPaths{QStringLiteral("/m/one.mp3"), QStringLiteral("/m/two.mp3")};
const QStringList SavedIds{QStringLiteral("11111111-1111-4111-8111-111111111111"),
			   QStringLiteral("22222222-2222-4222-8222-222222222222")};

// A saved state that matches a source whose playlist is SavedPaths.
QJsonObject goodState()
{
	return QJsonObject{{QStringLiteral("version"), 1},
			   {QStringLiteral("tracks"), tracksJson(SavedPaths, SavedIds)},
			   {QStringLiteral("observed"), valuesJson(SavedPaths)},
			   {QStringLiteral("current"), SavedIds[1]},
			   {QStringLiteral("managed"), true},
			   {QStringLiteral("originalLoop"), true},
			   {QStringLiteral("originalShuffle"), true},
			   {QStringLiteral("originalBehavior"), QStringLiteral("pause_unpause")},
			   {QStringLiteral("endMode"), 1}};
}

QByteArray toJson(const QJsonObject &object)
{
	return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

class SourceStateTest : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void playlistArrayRoundTrip()
	{
		const QStringList paths{QStringLiteral("/m/caf\u00e9 \u266b.mp3"),
					QStringLiteral("https://example.org/live"), QStringLiteral("/m/one.mp3"),
					QStringLiteral("/m/one.mp3")};
		obs_data_array_t *array = makePlaylistArray(paths);
		QCOMPARE(obs_data_array_count(array), size_t(4));
		obs_data_t *first = obs_data_array_item(array, 0);
		QCOMPARE(QJsonDocument::fromJson(obs_data_get_json(first)).object(),
			 (QJsonObject{{QStringLiteral("value"), paths[0]}}));
		obs_data_release(first);

		obs_data_t *settings = obs_data_create();
		obs_data_set_array(settings, "playlist", array);
		obs_data_array_release(array);
		QCOMPARE(readPlaylist(settings, "playlist"), paths);
		QVERIFY(readPlaylist(settings, "missing").isEmpty());
		obs_data_release(settings);

		obs_data_array_t *empty = makePlaylistArray({});
		QCOMPARE(obs_data_array_count(empty), size_t(0));
		obs_data_array_release(empty);
	}

	void readPlaylistSkipsUnusableElements()
	{
		obs_data_t *settings = obs_data_create_from_json(
			"{\"playlist\":[{\"value\":\"/a.mp3\",\"hidden\":false,\"selected\":true},{\"value\":\"\"},"
			"{\"other\":\"/b.mp3\"},{\"value\":5},{\"value\":\"/c.mp3\"}],"
			"\"notArray\":\"/d.mp3\",\"objectInstead\":{\"value\":\"/e.mp3\"}}");
		QCOMPARE(readPlaylist(settings, "playlist"),
			 (QStringList{QStringLiteral("/a.mp3"), QStringLiteral("/c.mp3")}));
		QVERIFY(readPlaylist(settings, "notArray").isEmpty());
		QVERIFY(readPlaylist(settings, "objectInstead").isEmpty());
		QVERIFY(readPlaylist(nullptr, "playlist").isEmpty());
		obs_data_release(settings);
	}

	// Decoding drops a leading byte-order mark, so a stored value may read as no text at all, or as
	// other text than its bytes; the load, which reads the source's playlist as stored while it
	// compares it with the saved one, takes every value as decoded all the same.
	void leadingByteOrderMarkReadsAsDecoded()
	{
		OwnedSources owned;
		obs_source_t *media = owned.media("Media", {QStringLiteral("/m/one.mp3"), QStringLiteral("\uFEFF")});
		Dock dock;
		dock->bindSource(uuidOf(media));
		QCOMPARE(trackPaths(*dock), QStringList{QStringLiteral("/m/one.mp3")});
		const QStringList ids = trackIds(*dock);
		dock->bindSource(uuidOf(media));
		QCOMPARE(trackIds(*dock), ids);

		// A saved track reads the same whatever the playlist holds at its index.
		const QString doubled = QStringLiteral("\uFEFF\uFEFF/m/x.mp3");
		obs_source_t *other = owned.media("Other", {doubled});
		QJsonObject state = goodState();
		state.insert(QStringLiteral("tracks"), tracksJson({doubled.mid(1)}, {SavedIds[0]}));
		state.insert(QStringLiteral("observed"), valuesJson({doubled}));
		state.insert(QStringLiteral("current"), SavedIds[0]);
		setStateJson(other, toJson(state));
		dock->bindSource(uuidOf(other));
		QCOMPARE(trackIds(*dock), QStringList{SavedIds[0]});
		QCOMPARE(trackPaths(*dock), QStringList{QString::fromUtf8(doubled.mid(1).toUtf8())});
	}

	void expandFoldersTakesMediaFilesOfAFolder()
	{
		QTemporaryDir dir;
		const QDir folder(dir.filePath(QStringLiteral("music")));
		QVERIFY(QDir().mkpath(folder.filePath(QStringLiteral("d"))));
		touch(folder.filePath(QStringLiteral("b.MP3")));
		touch(folder.filePath(QStringLiteral("a.mp3")));
		touch(folder.filePath(QStringLiteral("c.txt")));
		touch(folder.filePath(QStringLiteral(".hidden.mp3")));
		touch(folder.filePath(QStringLiteral("d/inside.mp3")));
		QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("empty"))));
		const QString plainFile = dir.filePath(QStringLiteral("notes.txt"));
		touch(plainFile);

		const QStringList input{QStringLiteral("https://example.org/stream"),
					folder.path(),
					plainFile,
					dir.filePath(QStringLiteral("empty")),
					QStringLiteral("/does/not/exist"),
					QStringLiteral("file://") + folder.path()};
		const QStringList expected{QStringLiteral("https://example.org/stream"),
					   folder.absoluteFilePath(QStringLiteral("a.mp3")),
					   folder.absoluteFilePath(QStringLiteral("b.MP3")),
					   plainFile,
					   QStringLiteral("/does/not/exist"),
					   QStringLiteral("file://") + folder.path()};
		QCOMPARE(expandFolders(input), expected);
		QVERIFY(expandFolders({}).isEmpty());
	}

	void expandFoldersKnowsEveryMediaPattern()
	{
		const QStringList extensions{QStringLiteral("mp3"),  QStringLiteral("wav"), QStringLiteral("flac"),
					     QStringLiteral("aac"),  QStringLiteral("ogg"), QStringLiteral("m4a"),
					     QStringLiteral("opus"), QStringLiteral("wma"), QStringLiteral("mp4"),
					     QStringLiteral("mkv"),  QStringLiteral("mov"), QStringLiteral("avi"),
					     QStringLiteral("webm"), QStringLiteral("m4v"), QStringLiteral("ts"),
					     QStringLiteral("flv"),  QStringLiteral("wmv"), QStringLiteral("mpg"),
					     QStringLiteral("mpeg")};
		QTemporaryDir dir;
		QStringList expected;
		for (const QString &ext : extensions) {
			touch(dir.filePath(QStringLiteral("f.") + ext));
			expected << QDir(dir.path()).absoluteFilePath(QStringLiteral("f.") + ext);
		}
		for (const char *other : {"f.jpg", "f.mp3.part", "f.m3u", "mp3"})
			touch(dir.filePath(QString::fromLatin1(other)));
		QStringList got = expandFolders({dir.path()});
		QCOMPARE(got.size(), extensions.size());
		got.sort();
		expected.sort();
		QCOMPARE(got, expected);
	}

	void firstBindingImportsThePlaylist()
	{
		QTemporaryDir dir;
		const QDir folder(dir.filePath(QStringLiteral("album")));
		QVERIFY(QDir().mkpath(folder.path()));
		touch(folder.filePath(QStringLiteral("b.mp3")));
		touch(folder.filePath(QStringLiteral("a.flac")));
		const QStringList playlist{QStringLiteral("/m/single.mp3"), folder.path(),
					   QStringLiteral("rtmp://host/live")};

		OwnedSources owned;
		obs_data_t *extra = mediaSettings(true, true, "pause_unpause");
		obs_source_t *media = owned.media("Media", playlist, extra);
		obs_data_release(extra);
		obs_data_t *priv = obs_source_get_private_settings(media);
		obs_data_set_int(priv, "someoneElse", 5);
		obs_data_release(priv);

		Dock dock;
		dock->bindSource(uuidOf(media));

		QCOMPARE(trackPaths(*dock), (QStringList{QStringLiteral("/m/single.mp3"),
							 folder.absoluteFilePath(QStringLiteral("a.flac")),
							 folder.absoluteFilePath(QStringLiteral("b.mp3")),
							 QStringLiteral("rtmp://host/live")}));
		const QStringList ids = trackIds(*dock);
		QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), 4);
		for (const QString &id : ids) {
			QCOMPARE(id.size(), 36);
			QVERIFY(!QUuid::fromString(id).isNull());
		}
		// New entries are looked at after the rebuild that follows the import.
		QVERIFY(TA::settleFileProbes(*dock));
		const auto &imported = TA::tracks(*dock);
		QCOMPARE(imported[0].sizeBytes, SizeMissing);
		QVERIFY(imported[1].sizeBytes >= 0);
		QVERIFY(imported[2].sizeBytes >= 0);
		QCOMPARE(imported[3].sizeBytes, SizeNotLocal);
		QVERIFY(!TA::managed(*dock));
		QVERIFY(TA::originalLoop(*dock));
		QVERIFY(TA::originalShuffle(*dock));
		QCOMPARE(TA::originalBehavior(*dock), QStringLiteral("pause_unpause"));
		QCOMPARE(TA::currentTrackId(*dock), QString());
		QCOMPARE(TA::observedPlaylist(*dock), playlist);

		// The state is written at once, in its fixed key order, beside the keys of others.
		const QString json = stateJson(media);
		const char *keys[] = {"version",      "tracks",          "observed",         "current", "managed",
				      "originalLoop", "originalShuffle", "originalBehavior", "endMode"};
		qsizetype last = -1;
		for (const char *key : keys) {
			const qsizetype at = json.indexOf(QStringLiteral("\"%1\"").arg(QLatin1String(key)));
			QVERIFY2(at > last, key);
			last = at;
		}
		const QJsonObject state = stateObject(media);
		QCOMPARE(state.size(), 9);
		QCOMPARE(state.value(QStringLiteral("version")).toInt(), 1);
		QCOMPARE(state.value(QStringLiteral("tracks")).toArray(), tracksJson(trackPaths(*dock), ids));
		QCOMPARE(state.value(QStringLiteral("tracks")).toArray().at(0).toObject().keys().size(), 2);
		QVERIFY(json.indexOf(QStringLiteral("\"value\"")) < json.indexOf(QStringLiteral("\"id\"")));
		QCOMPARE(state.value(QStringLiteral("observed")).toArray(), valuesJson(playlist));
		QCOMPARE(state.value(QStringLiteral("current")).toString(), QString());
		QCOMPARE(state.value(QStringLiteral("managed")).toBool(true), false);
		QCOMPARE(state.value(QStringLiteral("originalBehavior")).toString(), QStringLiteral("pause_unpause"));
		QCOMPARE(state.value(QStringLiteral("endMode")).toInt(-1), 0);
		priv = obs_source_get_private_settings(media);
		QCOMPARE(obs_data_get_int(priv, "someoneElse"), 5);
		obs_data_release(priv);
	}

	void missingBehaviourBecomesStopRestart()
	{
		OwnedSources owned;
		obs_data_t *extra = mediaSettings(false, false, "");
		obs_source_t *media = owned.media("Media", {QStringLiteral("/m/one.mp3")}, extra);
		obs_data_release(extra);
		Dock dock;
		dock->bindSource(uuidOf(media));
		QCOMPARE(TA::originalBehavior(*dock), QStringLiteral("stop_restart"));
		QVERIFY(!TA::originalLoop(*dock));
		QCOMPARE(stateObject(media).value(QStringLiteral("originalBehavior")).toString(),
			 QStringLiteral("stop_restart"));
	}

	void bindingAgainRestoresIdsAndCurrentTrack()
	{
		OwnedSources owned;
		obs_source_t *media = owned.media("Media", SavedPaths);
		obs_source_t *other = owned.media("Other", {QStringLiteral("/m/else.mp3")});
		Dock dock;
		dock->bindSource(uuidOf(media));
		const QStringList ids = trackIds(*dock);
		TA::currentTrackId(*dock) = ids.at(1);
		TA::endMode(*dock) = 2;
		TA::originalBehavior(*dock) = QStringLiteral("always_play_custom");
		dock->saveSourceState();

		dock->bindSource(uuidOf(other));
		QCOMPARE(trackPaths(*dock), QStringList{QStringLiteral("/m/else.mp3")});
		QCOMPARE(TA::endMode(*dock), 0);
		QCOMPARE(TA::endModeCombo(*dock)->currentIndex(), 0);

		QSignalSpy modeSignals(TA::endModeCombo(*dock), &QComboBox::currentIndexChanged);
		dock->bindSource(uuidOf(media));
		QCOMPARE(trackIds(*dock), ids);
		QCOMPARE(trackPaths(*dock), SavedPaths);
		QCOMPARE(TA::currentTrackId(*dock), ids.at(1));
		QCOMPARE(TA::endMode(*dock), 2);
		QCOMPARE(TA::endModeCombo(*dock)->currentIndex(), 2);
		QCOMPARE(modeSignals.count(), 0); // set quietly
		QVERIFY(!TA::endModeCombo(*dock)->signalsBlocked());
		QCOMPARE(TA::originalBehavior(*dock), QStringLiteral("always_play_custom"));

		// Binding the bound source again reloads it from what it carries.
		TA::tracks(*dock).clear();
		dock->bindSource(uuidOf(media));
		QCOMPARE(trackIds(*dock), ids);
	}

	void outsideEditImportsWithNewIds()
	{
		OwnedSources owned;
		obs_data_t *extra = mediaSettings(true, false, "stop_restart");
		obs_source_t *media = owned.media("Media", SavedPaths, extra);
		obs_data_release(extra);
		Dock dock;
		dock->bindSource(uuidOf(media));
		const QStringList ids = trackIds(*dock);
		TA::currentTrackId(*dock) = ids.at(0);
		dock->saveSourceState();
		dock->bindSource(QString());
		QVERIFY(TA::tracks(*dock).isEmpty());

		// Edited in the host's properties window while the dock looked elsewhere. The source plays
		// its own playlist (the dock does not manage it), so the edit becomes the list.
		obs_data_t *edit = mediaSettings(false, true, "always_play");
		obs_data_array_t *playlist =
			makePlaylistArray(SavedPaths + QStringList{QStringLiteral("/m/three.mp3")});
		obs_data_set_array(edit, "playlist", playlist);
		obs_data_array_release(playlist);
		obs_source_update(media, edit);
		obs_data_release(edit);

		dock->bindSource(uuidOf(media));
		QCOMPARE(trackPaths(*dock), SavedPaths + QStringList{QStringLiteral("/m/three.mp3")});
		for (const QString &id : trackIds(*dock))
			QVERIFY(!ids.contains(id));
		QCOMPARE(TA::currentTrackId(*dock), QString());
		QVERIFY(!TA::managed(*dock));
		QVERIFY(!TA::originalLoop(*dock));
		QVERIFY(TA::originalShuffle(*dock));
		QCOMPARE(TA::originalBehavior(*dock), QStringLiteral("always_play"));
		QCOMPARE(stateObject(media).value(QStringLiteral("observed")).toArray().size(), 3);
	}

	void forcedLoadImportsEvenWhenTrusted()
	{
		OwnedSources owned;
		obs_source_t *media = owned.media("Media", SavedPaths);
		setStateJson(media, toJson(goodState()));
		Dock dock;
		dock->bindSource(uuidOf(media));
		QCOMPARE(trackIds(*dock), SavedIds);

		OBSSourceAutoRelease source = dock->resolveBoundSource();
		dock->loadSourceState(source, true);
		QCOMPARE(trackPaths(*dock), SavedPaths);
		QVERIFY(!trackIds(*dock).contains(SavedIds[0]));
		QCOMPARE(TA::currentTrackId(*dock), QString());
		QCOMPARE(TA::endMode(*dock), 1); // the end mode is the dock's, not the playlist's
	}

	void savedState_data()
	{
		QTest::addColumn<QByteArray>("state");
		QTest::addColumn<bool>("trusted");
		QTest::addColumn<int>("endMode");

		auto with = [](const char *key, const QJsonValue &value) {
			QJsonObject state = goodState();
			state.insert(QLatin1String(key), value);
			return toJson(state);
		};
		auto trackWith = [](int index, const char *key, const QJsonValue &value) {
			QJsonObject state = goodState();
			QJsonArray tracks = state.value(QStringLiteral("tracks")).toArray();
			QJsonObject track = tracks[index].toObject();
			if (value.isUndefined())
				track.remove(QLatin1String(key));
			else
				track.insert(QLatin1String(key), value);
			tracks[index] = track;
			state.insert(QStringLiteral("tracks"), tracks);
			return toJson(state);
		};

		QTest::newRow("good") << toJson(goodState()) << true << 1;
		QTest::newRow("version 2") << with("version", 2) << false << 0;
		QTest::newRow("version null") << with("version", QJsonValue()) << false << 0;
		QTest::newRow("version as text") << with("version", QStringLiteral("1")) << false << 0;
		QTest::newRow("empty value") << trackWith(1, "value", QString()) << false << 1;
		QTest::newRow("missing value") << trackWith(0, "value", QJsonValue::Undefined) << false << 1;
		QTest::newRow("empty id") << trackWith(1, "id", QString()) << false << 1;
		QTest::newRow("missing id") << trackWith(0, "id", QJsonValue::Undefined) << false << 1;
		QTest::newRow("id as number") << trackWith(0, "id", 7) << false << 1;
		// Of a source the dock does not manage: a managed one keeps its list
		// (managedListOutlivesAnOutsideChange).
		auto unmanagedWith = [](const char *key, const QJsonValue &value) {
			QJsonObject state = goodState();
			state.insert(QStringLiteral("managed"), false);
			state.insert(QLatin1String(key), value);
			return toJson(state);
		};
		QTest::newRow("observed differs")
			<< unmanagedWith("observed", valuesJson({SavedPaths[1], SavedPaths[0]})) << false << 1;
		QTest::newRow("observed longer")
			<< unmanagedWith("observed", valuesJson(SavedPaths + QStringList{QStringLiteral("/m/x.mp3")}))
			<< false << 1;
		QTest::newRow("observed case")
			<< unmanagedWith("observed", valuesJson({SavedPaths[0], QStringLiteral("/m/TWO.mp3")})) << false
			<< 1;
		QJsonObject withoutTracks = goodState();
		withoutTracks.remove(QStringLiteral("tracks"));
		QTest::newRow("tracks missing") << toJson(withoutTracks) << false << 1;
		QTest::newRow("tracks not an array") << with("tracks", SavedPaths[0]) << false << 1;
		QTest::newRow("tracks an object")
			<< with("tracks", QJsonObject{{QStringLiteral("value"), SavedPaths[0]}}) << false << 1;
		QTest::newRow("end mode 7") << with("endMode", 7) << true << 2;
		QTest::newRow("end mode -1") << with("endMode", -1) << true << 0;
		QTest::newRow("end mode text") << with("endMode", QStringLiteral("2")) << true << 0;
		QTest::newRow("end mode null") << with("endMode", QJsonValue()) << true << 0;
		QTest::newRow("end mode beyond 32 bits") << with("endMode", 4294967297.0) << true << 2;
	}

	void savedState()
	{
		QFETCH(QByteArray, state);
		QFETCH(bool, trusted);
		QFETCH(int, endMode);

		OwnedSources owned;
		obs_data_t *extra = mediaSettings(false, false, "stop_restart");
		obs_source_t *media = owned.media("Media", SavedPaths, extra);
		obs_data_release(extra);

		setStateJson(media, state);

		Dock dock;
		dock->bindSource(uuidOf(media));
		QCOMPARE(trackPaths(*dock), SavedPaths);
		QCOMPARE(TA::endMode(*dock), endMode);
		QCOMPARE(TA::endModeCombo(*dock)->currentIndex(), endMode);
		if (trusted) {
			QCOMPARE(trackIds(*dock), SavedIds);
			QCOMPARE(TA::currentTrackId(*dock), SavedIds[1]);
			QVERIFY(TA::managed(*dock));
			QVERIFY(TA::originalLoop(*dock));
			QCOMPARE(TA::originalBehavior(*dock), QStringLiteral("pause_unpause"));
		} else {
			for (const QString &id : trackIds(*dock))
				QVERIFY(!SavedIds.contains(id));
			QCOMPARE(TA::currentTrackId(*dock), QString());
			QVERIFY(!TA::managed(*dock));
			QVERIFY(!TA::originalLoop(*dock));
			QCOMPARE(TA::originalBehavior(*dock), QStringLiteral("stop_restart"));
		}

		// Whatever was there, a version 1 state describing the dock replaces it.
		const QJsonObject written = stateObject(media);
		QCOMPARE(written.value(QStringLiteral("version")).toInt(), 1);
		QCOMPARE(written.value(QStringLiteral("endMode")).toInt(-1), endMode);
		QCOMPARE(written.value(QStringLiteral("tracks")).toArray(), tracksJson(SavedPaths, trackIds(*dock)));
	}

	// A managed source holds only its current track, so importing it instead of a saved list that
	// repeats an id would shrink the list to that one track. The repeat gets an id of its own; the
	// first entry keeps the id and with it the current mark.
	void repeatedIdKeepsTheWholeList()
	{
		OwnedSources owned;
		const QStringList held{SavedPaths[1]};
		obs_source_t *media = owned.media("Media", held);
		const QStringList saved{SavedPaths[0], SavedPaths[1], SavedPaths[0]};
		QJsonObject state = goodState();
		state.insert(QStringLiteral("tracks"), tracksJson(saved, {SavedIds[0], SavedIds[1], SavedIds[0]}));
		state.insert(QStringLiteral("observed"), valuesJson(held));
		state.insert(QStringLiteral("current"), SavedIds[0]);
		setStateJson(media, toJson(state));

		Dock dock;
		dock->bindSource(uuidOf(media));
		QCOMPARE(trackPaths(*dock), saved);
		const QStringList ids = trackIds(*dock);
		QCOMPARE(ids.mid(0, 2), SavedIds);
		QVERIFY(!SavedIds.contains(ids[2]));
		QCOMPARE(ids[2].size(), 36);
		QCOMPARE(TA::currentTrackId(*dock), SavedIds[0]);
		QVERIFY(TA::managed(*dock));
		QCOMPARE(stateObject(media).value(QStringLiteral("tracks")).toArray(), tracksJson(saved, ids));
	}

	// A managed source holds one track of the list, or none; Edit > Undo, a script or a remote client
	// may change it while the dock looks at another source. The list and the source's own options on
	// record outlive that; the dock goes on from what the source now plays, and says so.
	void managedListOutlivesAnOutsideChange()
	{
		const QStringList paths{QStringLiteral("/m/a.mp3"), QStringLiteral("/m/b.mp3"),
					QStringLiteral("/m/c.mp3"), QStringLiteral("/m/d.mp3")};
		QStringList ids;
		for (int i = 0; i < paths.size(); ++i)
			ids << QStringLiteral("%1%1%1%1%1%1%1%1-0000-4000-8000-000000000000").arg(i);
		QJsonObject state = goodState();
		state.insert(QStringLiteral("tracks"), tracksJson(paths, ids));
		state.insert(QStringLiteral("observed"), valuesJson({paths[1]}));
		state.insert(QStringLiteral("current"), ids[1]);

		OwnedSources owned;
		// What a track switch leaves in the source besides its playlist.
		obs_data_t *extra = mediaSettings(false, false, "always_play");
		obs_source_t *media = owned.media("Media", {paths[2]}, extra);
		obs_data_release(extra);
		setStateJson(media, toJson(state));

		auto expectOptionsOnRecord = [](Tracklane &dock) {
			return TA::originalLoop(dock) && TA::originalShuffle(dock) &&
			       TA::originalBehavior(dock) == QStringLiteral("pause_unpause");
		};

		// The source now holds another track of the list: it goes on as the current one.
		Dock dock;
		dock->bindSource(uuidOf(media));
		QCOMPARE(trackIds(*dock), ids);
		QCOMPARE(trackPaths(*dock), paths);
		QCOMPARE(TA::currentTrackId(*dock), ids[2]);
		QVERIFY(TA::managed(*dock));
		QCOMPARE(TA::observedPlaylist(*dock), QStringList{paths[2]});
		QVERIFY(expectOptionsOnRecord(*dock));
		QVERIFY(!TA::messageLabel(*dock)->isHidden());
		QCOMPARE(TA::messageLabel(*dock)->text(),
			 QStringLiteral(u"\u26A0 ") + moduleQString("SourceChangedOutside"));
		QCOMPARE(stateObject(media).value(QStringLiteral("tracks")).toArray(), tracksJson(paths, ids));

		// Emptied (a reset without a playlist): nothing of the list plays, the dock drives nothing.
		dock->bindSource(QString());
		setPlaylist(media, {});
		dock->bindSource(uuidOf(media));
		QCOMPARE(trackIds(*dock), ids);
		QVERIFY(!TA::managed(*dock));
		QCOMPARE(TA::currentTrackId(*dock), ids[2]);
		QVERIFY(TA::observedPlaylist(*dock).isEmpty());
		QVERIFY(expectOptionsOnRecord(*dock));

		// Once not managed, an edit of the playlist is the source's own and becomes the list; the
		// options the last switch left in the source are still not taken for the source's own.
		dock->bindSource(QString());
		setPlaylist(media, {paths[3], paths[0]});
		dock->bindSource(uuidOf(media));
		QCOMPARE(trackPaths(*dock), (QStringList{paths[3], paths[0]}));
		QVERIFY(!trackIds(*dock).contains(ids[3]));
		QVERIFY(expectOptionsOnRecord(*dock));
		QVERIFY(TA::messageLabel(*dock)->isHidden());
	}

	void stateThatIsNotAnObjectIsIgnored()
	{
		for (int kind = 0; kind < 3; ++kind) {
			OwnedSources owned;
			obs_source_t *media = owned.media("Media", SavedPaths);
			obs_data_t *priv = obs_source_get_private_settings(media);
			if (kind == 0) {
				obs_data_set_string(priv, "OBS-Tracklane", "tracks");
			} else if (kind == 1) {
				obs_data_set_int(priv, "OBS-Tracklane", 1);
			} else {
				obs_data_array_t *array = makePlaylistArray(SavedPaths);
				obs_data_set_array(priv, "OBS-Tracklane", array);
				obs_data_array_release(array);
			}
			obs_data_release(priv);

			Dock dock;
			dock->bindSource(uuidOf(media));
			QCOMPARE(trackPaths(*dock), SavedPaths);
			QCOMPARE(stateObject(media).value(QStringLiteral("version")).toInt(), 1);
		}
	}

	void staleCurrentAndMissingBehaviourAreRepaired()
	{
		OwnedSources owned;
		obs_source_t *media = owned.media("Media", SavedPaths);
		QJsonObject state = goodState();
		state.insert(QStringLiteral("current"), QStringLiteral("33333333-3333-4333-8333-333333333333"));
		state.remove(QStringLiteral("originalBehavior"));
		setStateJson(media, toJson(state));

		Dock dock;
		dock->bindSource(uuidOf(media));
		QCOMPARE(trackIds(*dock), SavedIds);
		QCOMPARE(TA::currentTrackId(*dock), QString());
		QCOMPARE(TA::originalBehavior(*dock), QStringLiteral("stop_restart"));
		QCOMPARE(stateObject(media).value(QStringLiteral("current")).toString(QStringLiteral("x")), QString());
	}

	void enormousListsLoadAndSave()
	{
		const int count = 10000;
		QStringList paths, ids;
		for (int i = 0; i < count; ++i) {
			paths << QStringLiteral("/m/track-%1.mp3").arg(i);
			ids << QUuid::createUuid().toString(QUuid::WithoutBraces);
		}
		OwnedSources owned;
		obs_source_t *saved = owned.media("Saved", paths);
		QJsonObject state = goodState();
		state.insert(QStringLiteral("tracks"), tracksJson(paths, ids));
		state.insert(QStringLiteral("observed"), valuesJson(paths));
		state.insert(QStringLiteral("current"), ids.last());
		setStateJson(saved, toJson(state));
		obs_source_t *fresh = owned.media("Fresh", paths);

		Dock dock;
		dock->bindSource(uuidOf(saved));
		QCOMPARE(trackIds(*dock), ids);
		QCOMPARE(TA::currentTrackId(*dock), ids.last());
		QCOMPARE(stateObject(saved).value(QStringLiteral("tracks")).toArray().size(), count);

		dock->bindSource(uuidOf(fresh));
		QCOMPARE(trackPaths(*dock), paths);
		const QStringList freshIds = trackIds(*dock);
		QCOMPARE(QSet<QString>(freshIds.begin(), freshIds.end()).size(), count);
		QCOMPARE(stateObject(fresh).value(QStringLiteral("observed")).toArray().size(), count);
	}

	void saveNeedsABoundLiveSourceAndAnOpenDock()
	{
		OwnedSources owned;
		obs_source_t *media = owned.media("Media", SavedPaths);
		Dock dock;
		TA::configChangedTimer(*dock).stop();
		dock->saveSourceState();
		QVERIFY(!TA::configChangedTimer(*dock).isActive());

		dock->bindSource(uuidOf(media));
		TA::configChangedTimer(*dock).stop();
		const QString before = stateJson(media);

		TA::tracks(*dock).removeLast();
		obs_source_remove(media);
		dock->saveSourceState();
		QCOMPARE(stateJson(media), before);
		QVERIFY(!TA::configChangedTimer(*dock).isActive());
	}

	void nothingIsSavedOnceClosing()
	{
		OwnedSources owned;
		obs_source_t *media = owned.media("Media", SavedPaths);
		Dock dock;
		dock->bindSource(uuidOf(media));
		const QString before = stateJson(media);
		TA::tracks(*dock).removeLast();
		TA::closing(*dock) = true;
		TA::configChangedTimer(*dock).stop();
		dock->saveSourceState();
		QCOMPARE(stateJson(media), before);
		QVERIFY(!TA::configChangedTimer(*dock).isActive());
		TA::closing(*dock) = false;
	}

	void burstOfSavesAsksForOneCollectionSave()
	{
		OwnedSources owned;
		obs_source_t *media = owned.media("Media", SavedPaths);
		Dock dock;
		dock->bindSource(uuidOf(media));
		TA::configChangedTimer(*dock).stop();
		QSignalSpy spy(dock.dock.get(), &Tracklane::configurationChanged);

		QElapsedTimer sinceLastSave;
		for (int i = 0; i < 10; ++i) {
			TA::endMode(*dock) = i % 3;
			dock->saveSourceState();
			sinceLastSave.start();
			QTest::qWait(10);
		}
		QCOMPARE(stateObject(media).value(QStringLiteral("endMode")).toInt(), 0);
		QVERIFY(spy.wait(3000));
		// Counted from the last save, not the first (loose bound: timers may fire a little early).
		QVERIFY(sinceLastSave.elapsed() >= 450);
		// Nothing else follows from the same burst.
		QTest::qWait(800);
		QCOMPARE(spy.count(), 1);
	}

	void resetDropsAPendingCollectionSave()
	{
		OwnedSources owned;
		obs_source_t *media = owned.media("Media", SavedPaths);
		Dock dock;
		dock->bindSource(uuidOf(media));
		QSignalSpy spy(dock.dock.get(), &Tracklane::configurationChanged);
		dock->saveSourceState();
		dock->resetBinding();
		QTest::qWait(800);
		QCOMPARE(spy.count(), 0);
	}
};

TRACKLANE_TEST_MAIN(SourceStateTest)
#include "test_source_state.moc"
