#include "test_host.hpp"
#include "test_access.hpp"
#include "module/plugin-main.hpp"
#include "tracks/FileProbe.hpp"
#include "tracks/TrackDelegate.hpp"
#include "tracks/TrackEntry.hpp"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

// Counts the stat calls that reach the C library for one watched path. The process's own
// definitions take precedence over the C library's for every caller, Qt included, so a test can
// see how often the list looked at a file without any help from the plug-in's code.
namespace statcount {

std::atomic<const char *> watched{nullptr};
std::atomic<int> hits{0};

void note(const char *path)
{
	const char *w = watched.load();
	if (w && path && std::strcmp(w, path) == 0)
		++hits;
}

template<typename Fn> Fn next(const char *name)
{
	return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Watches one path for the lifetime of the object.
struct Watch {
	QByteArray path;
	explicit Watch(const QString &p) : path(QFile::encodeName(p))
	{
		hits = 0;
		watched = path.constData();
	}
	~Watch() { watched = nullptr; }
	int count() const { return hits.load(); }
};

} // namespace statcount

extern "C" int statx(int dirfd, const char *path, int flags, unsigned int mask, struct statx *buf) noexcept
{
	statcount::note(path);
	using Fn = int (*)(int, const char *, int, unsigned int, struct statx *);
	static Fn real = statcount::next<Fn>("statx");
	return real(dirfd, path, flags, mask, buf);
}

extern "C" int stat64(const char *path, struct stat64 *buf) noexcept
{
	statcount::note(path);
	using Fn = int (*)(const char *, struct stat64 *);
	static Fn real = statcount::next<Fn>("stat64");
	return real(path, buf);
}

extern "C" int lstat64(const char *path, struct stat64 *buf) noexcept
{
	statcount::note(path);
	using Fn = int (*)(const char *, struct stat64 *);
	static Fn real = statcount::next<Fn>("lstat64");
	return real(path, buf);
}

namespace {

TrackEntry freshEntry(const QString &path)
{
	return TrackEntry{newTrackId(), path, SizeNotProbed};
}

bool writeFile(const QString &path, qint64 bytes)
{
	QFile file(path);
	if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
		return false;
	return file.write(QByteArray(int(bytes), 'x')) == bytes;
}

QStringList rowTexts(QListWidget *list)
{
	QStringList texts;
	for (int i = 0; i < list->count(); ++i)
		texts << list->item(i)->text();
	return texts;
}

QStringList ids(const QList<TrackEntry> &tracks)
{
	QStringList result;
	for (const TrackEntry &entry : tracks)
		result << entry.id;
	return result;
}


// Holds every look at a file whose path contains a given text until opened, so that a test decides
// when a worker finishes; the other paths are looked at as usual.
struct ProbeGate {
	std::mutex mutex;
	std::condition_variable changed;
	QString held;
	bool open = false;
	int waiting = 0;
	// Calls of the function below not yet returned; the gate outlives every one of them.
	int active = 0;

	explicit ProbeGate(const QString &heldText) : held(heldText)
	{
		FileProbe::setProbeFunction([this](const QString &path) {
			{
				std::lock_guard<std::mutex> lock(mutex);
				++active;
			}
			if (path.contains(held)) {
				std::unique_lock<std::mutex> lock(mutex);
				++waiting;
				changed.notify_all();
				changed.wait(lock, [this]() { return open; });
				--waiting;
			}
			const FileFigures figures = probeFile(path);
			std::lock_guard<std::mutex> lock(mutex);
			--active;
			changed.notify_all();
			return figures;
		});
	}
	~ProbeGate()
	{
		release();
		FileProbe::setProbeFunction(nullptr);
		// Workers still inside a look finish with the gate before it goes away.
		std::unique_lock<std::mutex> lock(mutex);
		changed.wait_for(lock, std::chrono::seconds(30), [this]() { return active == 0; });
	}
	bool waitUntilHolding(int count)
	{
		std::unique_lock<std::mutex> lock(mutex);
		return changed.wait_for(lock, std::chrono::seconds(30), [&]() { return waiting >= count; });
	}
	int holding()
	{
		std::lock_guard<std::mutex> lock(mutex);
		return waiting;
	}
	void release()
	{
		std::lock_guard<std::mutex> lock(mutex);
		open = true;
		changed.notify_all();
	}
};

// A short tone made by ffmpeg, in the container its name asks for.
bool makeTone(const QString &path, double seconds)
{
	QProcess ffmpeg;
	ffmpeg.start(QStringLiteral("ffmpeg"),
		     {QStringLiteral("-nostdin"), QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-y"),
		      QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
		      QStringLiteral("sine=frequency=440:duration=%1").arg(seconds), path});
	return ffmpeg.waitForFinished(60000) && ffmpeg.exitStatus() == QProcess::NormalExit && ffmpeg.exitCode() == 0;
}

} // namespace

class TrackListTest : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void localPaths_data()
	{
		QTest::addColumn<QString>("path");
		QTest::addColumn<QString>("expected");
		QTest::newRow("plain") << "/music/a.mp3"
				       << "/music/a.mp3";
		QTest::newRow("relative") << "music/a.mp3"
					  << "music/a.mp3";
		QTest::newRow("spaces and umlauts") << "/mu sic/ä ö.flac"
						    << "/mu sic/ä ö.flac";
		QTest::newRow("hash and question mark kept") << "/m/#1 why?.mp3"
							     << "/m/#1 why?.mp3";
		QTest::newRow("windows backslashes") << "C:\\Music\\a.mp3"
						     << "C:\\Music\\a.mp3";
		QTest::newRow("windows slashes") << "C:/Music/a.mp3"
						 << "C:/Music/a.mp3";
		QTest::newRow("tab and newline") << "/m/a\tb\nc.mp3"
						 << "/m/a\tb\nc.mp3";
		QTest::newRow("file url") << "file:///music/a.mp3"
					  << "/music/a.mp3";
		QTest::newRow("file url encoded")
			<< "file:///mu%20sic/%C3%A4.mp3" << QString::fromUtf8("/mu sic/ä.mp3");
		QTest::newRow("file url raw space") << "file:///mu sic/a.mp3"
						    << "/mu sic/a.mp3";
		QTest::newRow("http") << "http://host/a.mp3" << QString();
		QTest::newRow("https query fragment") << "https://host/a.mp3?x=1#t" << QString();
		QTest::newRow("rtmp no path") << "rtmp://host" << QString();
		QTest::newRow("empty") << ""
				       << "";
	}

	void localPaths()
	{
		QFETCH(QString, path);
		QFETCH(QString, expected);
		QCOMPARE(localPathOf(path), expected);
	}

	void displayTexts_data()
	{
		QTest::addColumn<QString>("path");
		QTest::addColumn<QString>("name");
		QTest::newRow("plain") << "/music/rock/One.mp3"
				       << "One.mp3";
		QTest::newRow("spaces") << "/mu sic/a b c.mp3"
					<< "a b c.mp3";
		QTest::newRow("non-ascii")
			<< QString::fromUtf8("/musik/Grüße – 日本.ogg") << QString::fromUtf8("Grüße – 日本.ogg");
		QTest::newRow("tab and newline") << "/m/a\tb\nc.mp3"
						 << "a\tb\nc.mp3";
		QTest::newRow("file url decoded") << "file:///mu%20sic/x%20y.flac"
						  << "x y.flac";
		QTest::newRow("http last segment") << "http://host/dir/song.mp3"
						   << "song.mp3";
		QTest::newRow("http query and fragment") << "https://host/a/b.mp3?x=1#frag"
							 << "b.mp3?x=1#frag";
		QTest::newRow("http trailing slash") << "http://host/dir/"
						     << "http://host/dir/";
		QTest::newRow("folder with slash") << "/music/rock/"
						   << "/music/rock/";
		QTest::newRow("empty") << ""
				       << "";
		QTest::newRow("relative") << "music/One.mp3"
					  << "One.mp3";
		QTest::newRow("bare name") << "One.mp3"
					   << "One.mp3";
		QTest::newRow("root") << "/"
				      << "/";
		QTest::newRow("doubled slashes") << "//music//One.mp3"
						 << "One.mp3";
		QTest::newRow("backslashes are no separator here") << "C:\\music\\One.mp3"
								   << "C:\\music\\One.mp3";
	}

	void displayTexts()
	{
		QFETCH(QString, path);
		QFETCH(QString, name);
		QCOMPARE(trackDisplayText(path, false), name);
		QCOMPARE(trackDisplayText(path, true), CurrentTrackMarker + name);
		// Plain paths must be named exactly as QFileInfo names them.
		if (!path.contains(QLatin1Char(':'))) {
			const QString byFileInfo = QFileInfo(path).fileName();
			QCOMPARE(trackDisplayText(path, false), byFileInfo.isEmpty() ? path : byFileInfo);
		}
	}

	void markerIsTextPresentationTriangle()
	{
		QCOMPARE(CurrentTrackMarker.size(), 3);
		QCOMPARE(CurrentTrackMarker.at(0).unicode(), char16_t(0x25B6));
		QCOMPARE(CurrentTrackMarker.at(1).unicode(), char16_t(0xFE0E));
		QCOMPARE(CurrentTrackMarker.at(2).unicode(), char16_t(0x20));
	}

	void emptyListHasNoCurrentItem()
	{
		Tracklane dock(QString(), nullptr);
		TA::tracks(dock) = {freshEntry("/a.mp3")};
		dock.rebuildTrackList(QString());
		QCOMPARE(TA::trackList(dock)->count(), 1);

		TA::tracks(dock).clear();
		dock.rebuildTrackList(QString());
		QCOMPARE(TA::trackList(dock)->count(), 0);
		QVERIFY(!TA::trackList(dock)->currentItem());
		QCOMPARE(TA::trackCountLabel(dock)->text(), moduleQString("TrackCount").arg(0));
		QCOMPARE(dock.selectedTrackId(), QString());
		QVERIFY(!TA::rebuildingList(dock));
	}

	void itemsCarryTheEntries()
	{
		QTemporaryDir dir;
		QVERIFY(dir.isValid());
		const QString file = dir.filePath(QString::fromUtf8("mit Leerzeichen ü.mp3"));
		const QString empty = dir.filePath("empty.wav");
		const QString odd = dir.filePath("tab\there\nnewline.ogg");
		const QString longName = dir.filePath(QString(200, QLatin1Char('n')) + ".mp3");
		const QString deleted = dir.filePath("deleted.mp3");
		QVERIFY(writeFile(file, 1536));
		QVERIFY(writeFile(empty, 0));
		QVERIFY(writeFile(odd, 7));
		QVERIFY(writeFile(longName, 3));
		QVERIFY(writeFile(deleted, 9));
		QVERIFY(QFile::remove(deleted));
		QVERIFY(QDir(dir.path()).mkdir("folder"));
		const QString folder = dir.filePath("folder");

		struct Case {
			QString path;
			qint64 size;
			QString name;
		};
		const QList<Case> cases = {
			{file, 1536, QString::fromUtf8("mit Leerzeichen ü.mp3")},
			{QUrl::fromLocalFile(file).toString(), 1536, QString::fromUtf8("mit Leerzeichen ü.mp3")},
			{empty, 0, "empty.wav"},
			{odd, 7, "tab\there\nnewline.ogg"},
			{longName, 3, QString(200, QLatin1Char('n')) + ".mp3"},
			{deleted, SizeMissing, "deleted.mp3"},
			{QUrl::fromLocalFile(deleted).toString(), SizeMissing, "deleted.mp3"},
			{folder, SizeMissing, "folder"},
			{folder + "/", SizeMissing, folder + "/"},
			{"http://host/a/song.mp3?x=1#f", SizeNotLocal, "song.mp3?x=1#f"},
			{"http://host/", SizeNotLocal, "http://host/"},
			{"srt://host:9000", SizeNotLocal, "host:9000"},
		};

		Tracklane dock(QString(), nullptr);
		for (const Case &c : cases)
			TA::tracks(dock).append(freshEntry(c.path));
		const QList<TrackEntry> before = TA::tracks(dock);
		dock.rebuildTrackList(QString());
		QVERIFY(TA::settleFileProbes(dock));

		QListWidget *list = TA::trackList(dock);
		QCOMPARE(list->count(), cases.size());
		QCOMPARE(TA::tracks(dock).size(), cases.size());
		for (int i = 0; i < cases.size(); ++i) {
			const Case &c = cases[i];
			const TrackEntry &entry = TA::tracks(dock)[i];
			const QListWidgetItem *item = list->item(i);
			QCOMPARE(entry.id, before[i].id);
			QCOMPARE(entry.path, c.path);
			QCOMPARE(entry.sizeBytes, c.size);
			QCOMPARE(item->text(), c.name);
			QCOMPARE(item->data(TrackIdRole).toString(), entry.id);
			QCOMPARE(item->data(TrackPathRole).toString(), c.path);
			QCOMPARE(item->data(TrackSizeRole).toLongLong(), c.size);
			QVERIFY(item->isHidden() == false);
			const QVariant description = item->data(Qt::AccessibleDescriptionRole);
			if (c.size == SizeMissing)
				QCOMPARE(description.toString(), moduleQString("FileMissing").arg(c.path));
			else
				QVERIFY2(!description.isValid(), qPrintable(c.path));
			QVERIFY(!item->data(Qt::ToolTipRole).isValid());
			QVERIFY(!item->data(Qt::DecorationRole).isValid());
			QVERIFY(!item->data(Qt::FontRole).isValid());
		}
		// None of these has a length (streams, missing files, files of no media format).
		QCOMPARE(TA::trackCountLabel(dock)->text(),
			 moduleQString("TrackCount").arg(cases.size()) + QStringLiteral(u" \u00B7 \u2014:\u2014"));
	}

	// Rows answer the track roles themselves; a copy of a row and a role written later must
	// answer like the original, and a written role must reach the view.
	void rowsAnswerTrackRolesThroughCopiesAndWrites()
	{
		Tracklane dock(QString(), nullptr);
		TA::tracks(dock) = {TrackEntry{"id-1", "/gone/one.mp3", SizeMissing},
				    TrackEntry{"id-2", "http://h/two.mp3", SizeNotLocal}};
		dock.rebuildTrackList(QString());
		QListWidget *list = TA::trackList(dock);

		std::unique_ptr<QListWidgetItem> copy(list->item(0)->clone());
		QCOMPARE(copy->text(), QStringLiteral("one.mp3"));
		QCOMPARE(copy->data(TrackIdRole).toString(), QStringLiteral("id-1"));
		QCOMPARE(copy->data(TrackPathRole).toString(), QStringLiteral("/gone/one.mp3"));
		QCOMPARE(copy->data(TrackSizeRole).toLongLong(), SizeMissing);
		QCOMPARE(copy->data(Qt::AccessibleDescriptionRole).toString(),
			 moduleQString("FileMissing").arg("/gone/one.mp3"));

		QSignalSpy changed(list->model(), &QAbstractItemModel::dataChanged);
		list->item(1)->setData(TrackPathRole, QStringLiteral("/new/path.mp3"));
		list->item(1)->setData(TrackSizeRole, QVariant::fromValue<qint64>(7));
		QCOMPARE(changed.count(), 2);
		QCOMPARE(list->item(1)->data(TrackPathRole).toString(), QStringLiteral("/new/path.mp3"));
		QCOMPARE(list->item(1)->data(TrackSizeRole).toLongLong(), qint64(7));
		QCOMPARE(list->item(1)->data(TrackIdRole).toString(), QStringLiteral("id-2"));
		// The copy is its own row.
		QCOMPARE(copy->data(TrackIdRole).toString(), QStringLiteral("id-1"));

		// What a sync reads back is what the rows answer.
		dock.syncTracksFromList();
		QCOMPARE(TA::tracks(dock)[1].path, QStringLiteral("/new/path.mp3"));
		QCOMPARE(TA::tracks(dock)[1].sizeBytes, qint64(7));
	}

	void knownSizesSurviveRebuilds()
	{
		QTemporaryDir dir;
		QVERIFY(dir.isValid());
		const QString grows = dir.filePath("grows.mp3");
		const QString vanishes = dir.filePath("vanishes.mp3");
		const QString appears = dir.filePath("appears.mp3");
		QVERIFY(writeFile(grows, 10));
		QVERIFY(writeFile(vanishes, 20));

		Tracklane dock(QString(), nullptr);
		TA::tracks(dock) = {freshEntry(grows), freshEntry(vanishes), freshEntry(appears)};
		dock.rebuildTrackList(QString());
		QVERIFY(TA::settleFileProbes(dock));
		QCOMPARE(TA::tracks(dock)[0].sizeBytes, qint64(10));
		QCOMPARE(TA::tracks(dock)[1].sizeBytes, qint64(20));
		QCOMPARE(TA::tracks(dock)[2].sizeBytes, SizeMissing);

		QVERIFY(writeFile(grows, 4000));
		QVERIFY(QFile::remove(vanishes));
		QVERIFY(writeFile(appears, 30));
		dock.rebuildTrackList(QString());
		QCOMPARE(TA::tracks(dock)[0].sizeBytes, qint64(10));
		QCOMPARE(TA::tracks(dock)[1].sizeBytes, qint64(20));
		QCOMPARE(TA::tracks(dock)[2].sizeBytes, SizeMissing);
		QCOMPARE(TA::trackList(dock)->item(1)->data(TrackSizeRole).toLongLong(), qint64(20));
		QVERIFY(!TA::trackList(dock)->item(1)->data(Qt::AccessibleDescriptionRole).isValid());

		// A new entry for a path the list already knows takes the known size.
		TA::tracks(dock).append(freshEntry(grows));
		dock.rebuildTrackList(QString());
		QVERIFY(TA::settleFileProbes(dock));
		QCOMPARE(TA::tracks(dock)[3].sizeBytes, qint64(10));

		// Recreated entries look again.
		for (TrackEntry &entry : TA::tracks(dock))
			entry.sizeBytes = SizeNotProbed;
		dock.rebuildTrackList(QString());
		QVERIFY(TA::settleFileProbes(dock));
		QCOMPARE(TA::tracks(dock)[0].sizeBytes, qint64(4000));
		QCOMPARE(TA::tracks(dock)[1].sizeBytes, SizeMissing);
		QCOMPARE(TA::tracks(dock)[2].sizeBytes, qint64(30));
		QCOMPARE(TA::tracks(dock)[3].sizeBytes, qint64(4000));
	}

	void oneProbePerDistinctPath()
	{
		QTemporaryDir dir;
		QVERIFY(dir.isValid());
		const QString shared = dir.filePath("shared one.mp3");
		const QString other = dir.filePath("other.mp3");
		QVERIFY(writeFile(shared, 5));
		QVERIFY(writeFile(other, 6));

		Tracklane dock(QString(), nullptr);
		int single;
		{
			statcount::Watch watch(shared);
			TA::tracks(dock) = {freshEntry(shared)};
			dock.rebuildTrackList(QString());
			QVERIFY(TA::settleFileProbes(dock));
			single = watch.count();
		}
		QVERIFY2(single >= 1, "the stat counter does not see the list's probe");

		{
			statcount::Watch watch(shared);
			TA::tracks(dock) = {freshEntry(shared), freshEntry(other), freshEntry(shared),
					    freshEntry(QUrl::fromLocalFile(shared).toString()), freshEntry(shared)};
			dock.rebuildTrackList(QString());
			QVERIFY(TA::settleFileProbes(dock));
			// The plain path and the file URL are two distinct paths: two probes.
			QCOMPARE(watch.count(), 2 * single);
		}
		QCOMPARE(TA::tracks(dock)[2].sizeBytes, qint64(5));
		QCOMPARE(TA::tracks(dock)[4].sizeBytes, qint64(5));
		QVERIFY(TA::tracks(dock)[0].id != TA::tracks(dock)[2].id);
		QCOMPARE(TA::trackList(dock)->item(0)->text(), TA::trackList(dock)->item(2)->text());

		{
			statcount::Watch watch(shared);
			dock.rebuildTrackList(QString());
			QVERIFY(TA::settleFileProbes(dock));
			QCOMPARE(watch.count(), 0);
		}
	}

	// Figures find their track by id wherever it went while it was looked at, and a new binding
	// takes nothing of the one before, even for a track with the same id.
	void lateFiguresFollowTheirTrackOrAreDropped()
	{
		QTemporaryDir dir;
		QVERIFY(dir.isValid());
		const QString a = dir.filePath("held a.wav"), b = dir.filePath("held b.wav"), c = dir.filePath("held c.wav");
		QVERIFY(writeFile(a, 10));
		QVERIFY(writeFile(b, 20));
		QVERIFY(writeFile(c, 30));

		Tracklane dock(QString(), nullptr);
		{
			ProbeGate gate(QStringLiteral("held"));
			TA::tracks(dock) = {freshEntry(a), freshEntry(b), freshEntry(c)};
			const QStringList asked = ids(TA::tracks(dock));
			dock.rebuildTrackList(QString());
			QVERIFY(gate.waitUntilHolding(2));
			// The list is there at once, its figures still to come.
			QCOMPARE(TA::trackList(dock)->count(), 3);
			QCOMPARE(TA::tracks(dock)[0].sizeBytes, SizeNotProbed);

			// b removed, c moved to the top, while the workers are still inside the files.
			TA::tracks(dock) = {TA::tracks(dock)[2], TA::tracks(dock)[0]};
			dock.rebuildTrackList(QString());
			gate.release();
			QVERIFY(TA::settleFileProbes(dock));
			QCOMPARE(ids(TA::tracks(dock)), (QStringList{asked[2], asked[0]}));
			QCOMPARE(TA::tracks(dock)[0].sizeBytes, qint64(30));
			QCOMPARE(TA::tracks(dock)[1].sizeBytes, qint64(10));
			QCOMPARE(TA::trackList(dock)->item(0)->data(TrackSizeRole).toLongLong(), qint64(30));
			QCOMPARE(TA::trackList(dock)->item(1)->data(TrackSizeRole).toLongLong(), qint64(10));
		}
		{
			ProbeGate gate(QStringLiteral("held"));
			const QString d = dir.filePath("other d.wav");
			QVERIFY(writeFile(d, 40));
			TA::tracks(dock) = {freshEntry(a)};
			const QString id = TA::tracks(dock)[0].id;
			dock.rebuildTrackList(QString());
			QVERIFY(gate.waitUntilHolding(1));
			// Another binding, whose track happens to carry the same id but another file.
			dock.bindSource(QString());
			TA::tracks(dock) = {TrackEntry{id, d, SizeNotProbed}};
			dock.rebuildTrackList(QString());
			gate.release();
			QVERIFY(TA::settleFileProbes(dock));
			QCOMPARE(TA::tracks(dock)[0].sizeBytes, qint64(40));
			QCOMPARE(TA::trackList(dock)->item(0)->data(TrackSizeRole).toLongLong(), qint64(40));
		}
	}

	// A look that never returns (a dead network mount) holds up neither the other tracks nor the
	// dock's exit; a FIFO is never opened at all, so it cannot block a worker in open().
	void hangingLookHoldsUpNeitherListNorExit()
	{
		QTemporaryDir dir;
		QVERIFY(dir.isValid());
		const QString fifo = dir.filePath("pipe.wav");
		QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
		const QString one = dir.filePath("one.wav"), two = dir.filePath("two.wav");
		QVERIFY(writeFile(one, 11));
		QVERIFY(writeFile(two, 12));

		auto dock = std::make_unique<Tracklane>(QString(), nullptr);
		TA::tracks(*dock) = {freshEntry(fifo), freshEntry(one), freshEntry(two)};
		dock->rebuildTrackList(QString());
		QVERIFY(TA::settleFileProbes(*dock));
		QCOMPARE(TA::tracks(*dock)[0].sizeBytes, SizeMissing);
		QCOMPARE(TA::tracks(*dock)[0].durationMs, DurationUnknown);
		QCOMPARE(TA::tracks(*dock)[1].sizeBytes, qint64(11));

		ProbeGate gate(QStringLiteral("stuck"));
		const QString stuck = dir.filePath("stuck.wav");
		QVERIFY(writeFile(stuck, 13));
		for (TrackEntry &entry : TA::tracks(*dock))
			entry = freshEntry(entry.path);
		TA::tracks(*dock).prepend(freshEntry(stuck));
		dock->rebuildTrackList(QString());
		QVERIFY(gate.waitUntilHolding(1));
		QTRY_VERIFY_WITH_TIMEOUT(TA::tracks(*dock)[2].sizeBytes == 11 && TA::tracks(*dock)[3].sizeBytes == 12, 60000);
		QCOMPARE(TA::tracks(*dock)[0].sizeBytes, SizeNotProbed);

		// Exit with the look still stuck: the dock goes, the worker stays inside the file.
		dock.reset();
		QCOMPARE(gate.holding(), 1);
		gate.release();
		{
			std::unique_lock<std::mutex> lock(gate.mutex);
			QVERIFY(gate.changed.wait_for(lock, std::chrono::seconds(30), [&]() { return gate.active == 0; }));
		}
		// What it found has nowhere to go.
		QCoreApplication::processEvents();
	}

	// On a dead mount every file hangs: as many stuck looks as there are workers must not leave the
	// rest of the list, or the next binding's, without figures for good.
	void looksStuckInEveryWorkerHoldUpNoOtherTrack()
	{
		QTemporaryDir dir;
		QVERIFY(dir.isValid());
		const QString one = dir.filePath("one.wav");
		QVERIFY(writeFile(one, 21));
		QStringList stuck;
		for (int i = 0; i < 3; ++i) {
			stuck << dir.filePath(QStringLiteral("dead-%1.wav").arg(i));
			QVERIFY(writeFile(stuck.last(), 1));
		}

		ProbeGate gate(QStringLiteral("dead-"));
		Tracklane dock(QString(), nullptr);
		TA::tracks(dock) = {freshEntry(stuck[0]), freshEntry(stuck[1]), freshEntry(stuck[2]), freshEntry(one)};
		dock.rebuildTrackList(QString());
		QVERIFY(gate.waitUntilHolding(2));
		QTRY_VERIFY_WITH_TIMEOUT(TA::tracks(dock)[3].sizeBytes == 21, 60000);

		dock.bindSource(QString());
		TA::tracks(dock) = {freshEntry(one)};
		dock.rebuildTrackList(QString());
		QTRY_VERIFY_WITH_TIMEOUT(TA::tracks(dock)[0].sizeBytes == 21, 60000);
		gate.release();
	}

	// Durations are read from the files themselves; what has none counts as unknown, never as 0.
	void durationsOfMediaFiles()
	{
		QTemporaryDir dir;
		QVERIFY(dir.isValid());
		const QString wav = dir.filePath("tone.wav"), mp3 = dir.filePath("tone.mp3"), ogg = dir.filePath("tone.ogg");
		QVERIFY(makeTone(wav, 1.5));
		QVERIFY(makeTone(mp3, 2.0));
		QVERIFY(makeTone(ogg, 2.5));
		const QString junk = dir.filePath("junk.mp3");
		QVERIFY(writeFile(junk, 5000));

		// Encoders pad MP3 and Ogg a little.
		QVERIFY(qAbs(probeDurationMs(wav, 5000) - 1500) <= 5);
		QVERIFY2(qAbs(probeDurationMs(mp3, 5000) - 2000) <= 80, qPrintable(QString::number(probeDurationMs(mp3, 5000))));
		QVERIFY2(qAbs(probeDurationMs(ogg, 5000) - 2500) <= 80, qPrintable(QString::number(probeDurationMs(ogg, 5000))));
		QCOMPARE(probeDurationMs(junk, 5000), DurationUnknown);

		Tracklane dock(QString(), nullptr);
		TA::tracks(dock) = {freshEntry(wav), freshEntry(mp3), freshEntry(ogg)};
		dock.rebuildTrackList(QString());
		QVERIFY(TA::settleFileProbes(dock));
		for (const TrackEntry &entry : TA::tracks(dock))
			QVERIFY2(entry.durationMs > 1000, qPrintable(entry.path));
		QCOMPARE(TA::trackList(dock)->item(0)->data(TrackDurationRole).toLongLong(), TA::tracks(dock)[0].durationMs);
		const qint64 sum =
			TA::tracks(dock)[0].durationMs + TA::tracks(dock)[1].durationMs + TA::tracks(dock)[2].durationMs;
		QCOMPARE(TA::trackCountLabel(dock)->text(),
			 moduleQString("TrackCount").arg(3) + QStringLiteral(u" \u00B7 ") + formatTime(sum));

		// A stream and an unreadable file leave the total a lower bound.
		TA::tracks(dock) << freshEntry(junk) << freshEntry("http://host/live");
		dock.rebuildTrackList(QString());
		QVERIFY(TA::settleFileProbes(dock));
		QCOMPARE(TA::tracks(dock)[3].durationMs, DurationUnknown);
		QCOMPARE(TA::tracks(dock)[4].durationMs, DurationUnknown);
		QVERIFY(TA::trackCountLabel(dock)->text().endsWith(moduleQString("DurationAtLeast").arg(formatTime(sum))));
		QVERIFY(durationText(DurationUnknown) != durationText(0));
		QVERIFY(durationText(DurationNotProbed) != durationText(0));

		// From the current track on: the rest of it and every track after it.
		TA::currentTrackId(dock) = TA::tracks(dock)[1].id;
		int unknown = 0;
		const qint64 rest = dock.listRemainingMs(&unknown);
		QCOMPARE(rest, TA::tracks(dock)[1].durationMs + TA::tracks(dock)[2].durationMs);
		QCOMPARE(unknown, 2);
	}

	void markerFollowsCurrentId()
	{
		Tracklane dock(QString(), nullptr);
		// Two entries for one file: only the id decides which of them is current.
		TA::tracks(dock) = {freshEntry("/m/a.mp3"), freshEntry("/m/same.mp3"), freshEntry("/m/same.mp3"),
				    freshEntry("http://h/")};
		const QStringList entryIds = ids(TA::tracks(dock));
		QListWidget *list = TA::trackList(dock);

		dock.rebuildTrackList(QString());
		QCOMPARE(rowTexts(list), (QStringList{"a.mp3", "same.mp3", "same.mp3", "http://h/"}));
		QCOMPARE(dock.currentTrackIndex(), -1);

		TA::currentTrackId(dock) = entryIds[2];
		dock.rebuildTrackList(QString());
		QCOMPARE(rowTexts(list),
			 (QStringList{"a.mp3", "same.mp3", CurrentTrackMarker + "same.mp3", "http://h/"}));
		QCOMPARE(dock.currentTrackIndex(), 2);

		// Ids compare exactly.
		TA::currentTrackId(dock) = entryIds[2].toUpper();
		QCOMPARE(dock.currentTrackIndex(), -1);
		TA::currentTrackId(dock) = "no-such-id";
		QCOMPARE(dock.currentTrackIndex(), -1);

		TA::currentTrackId(dock) = entryIds[3];
		dock.markCurrentTrack(entryIds[3], entryIds[2]);
		QCOMPARE(rowTexts(list),
			 (QStringList{"a.mp3", "same.mp3", "same.mp3", CurrentTrackMarker + "http://h/"}));
		QCOMPARE(list->currentRow(), 3);
		QCOMPARE(list->selectedItems(), QList<QListWidgetItem *>{list->item(3)});
		QCOMPARE(TA::tracks(dock).size(), 4);

		// The same track again keeps its marker.
		dock.markCurrentTrack(entryIds[3], entryIds[3]);
		QCOMPARE(list->item(3)->text(), CurrentTrackMarker + "http://h/");

		dock.markCurrentTrack(entryIds[0], entryIds[3]);
		QCOMPARE(rowTexts(list),
			 (QStringList{CurrentTrackMarker + "a.mp3", "same.mp3", "same.mp3", "http://h/"}));
		QCOMPARE(list->currentRow(), 0);
		QCOMPARE(list->selectedItems().size(), 1);
	}

	void rebuildChoosesCurrentItem()
	{
		Tracklane dock(QString(), nullptr);
		TA::tracks(dock) = {freshEntry("/m/one.mp3"), freshEntry("/m/two.mp3"), freshEntry("/m/three.mp3")};
		const QStringList entryIds = ids(TA::tracks(dock));
		QListWidget *list = TA::trackList(dock);

		dock.rebuildTrackList(entryIds[1]);
		QCOMPARE(list->currentRow(), 1);
		QCOMPARE(list->selectedItems(), QList<QListWidgetItem *>{list->item(1)});
		QCOMPARE(dock.selectedTrackId(), entryIds[1]);

		dock.rebuildTrackList("unknown");
		QCOMPARE(list->currentRow(), 0);
		QCOMPARE(dock.selectedTrackId(), entryIds[0]);

		// A filter moves the current item to its first hit even when another was asked for.
		TA::searchEdit(dock)->setText("t");
		dock.rebuildTrackList(entryIds[2]);
		QCOMPARE(list->currentRow(), 1);
		QVERIFY(list->item(0)->isHidden());
		QCOMPARE(dock.selectedTrackId(), entryIds[1]);
	}

	void rebuildRestoresSignalBlocking()
	{
		Tracklane dock(QString(), nullptr);
		TA::tracks(dock) = {freshEntry("/m/one.mp3"), freshEntry("/m/two.mp3")};
		QListWidget *list = TA::trackList(dock);
		int changes = 0;
		connect(list, &QListWidget::currentItemChanged, this, [&changes]() { ++changes; });

		dock.rebuildTrackList(TA::tracks(dock)[1].id);
		QCOMPARE(changes, 0);
		QVERIFY(!list->signalsBlocked());
		QVERIFY(list->updatesEnabled());
		QVERIFY(!TA::rebuildingList(dock));

		list->blockSignals(true);
		dock.rebuildTrackList(QString());
		QVERIFY(list->signalsBlocked());
		list->blockSignals(false);

		// Only user changes reach the slots afterwards.
		list->setCurrentRow(1);
		QCOMPARE(changes, 1);
	}

	void selectedIdIgnoresHiddenItem()
	{
		Tracklane dock(QString(), nullptr);
		TA::tracks(dock) = {freshEntry("/m/one.mp3"), freshEntry("/m/two.mp3")};
		dock.rebuildTrackList(TA::tracks(dock)[1].id);
		QListWidget *list = TA::trackList(dock);
		QCOMPARE(dock.selectedTrackId(), TA::tracks(dock)[1].id);

		list->item(1)->setHidden(true);
		QVERIFY(list->item(1)->isSelected());
		QCOMPARE(list->currentRow(), 1);
		QCOMPARE(dock.selectedTrackId(), QString());

		list->setCurrentItem(nullptr);
		QCOMPARE(dock.selectedTrackId(), QString());
	}

	void reorderIsCopiedBack()
	{
		QTemporaryDir dir;
		QVERIFY(dir.isValid());
		const QString file = dir.filePath("a.mp3");
		QVERIFY(writeFile(file, 42));

		Tracklane dock(QString(), nullptr);
		TA::tracks(dock) = {freshEntry(file), freshEntry("http://h/b.mp3"), freshEntry("/gone/c.mp3"),
				    freshEntry(file)};
		dock.rebuildTrackList(QString());
		QVERIFY(TA::settleFileProbes(dock));
		const QList<TrackEntry> before = TA::tracks(dock);
		QListWidget *list = TA::trackList(dock);
		TA::messageLabel(dock)->setText("old problem");
		TA::messageLabel(dock)->show();

		// What an internal drag does to the model: first row dropped below the third.
		QVERIFY(list->model()->moveRow(QModelIndex(), 0, QModelIndex(), 3));
		const QList<TrackEntry> &after = TA::tracks(dock);
		QCOMPARE(after.size(), 4);
		const QList<int> order = {1, 2, 0, 3};
		for (int i = 0; i < order.size(); ++i) {
			QCOMPARE(after[i].id, before[order[i]].id);
			QCOMPARE(after[i].path, before[order[i]].path);
			QCOMPARE(after[i].sizeBytes, before[order[i]].sizeBytes);
			QCOMPARE(list->item(i)->data(TrackIdRole).toString(), after[i].id);
		}
		QCOMPARE(after[2].sizeBytes, qint64(42));
		QCOMPARE(after[1].sizeBytes, SizeMissing);
		QVERIFY(TA::messageLabel(dock)->isHidden());

		// Hidden rows are part of the order too.
		TA::searchEdit(dock)->setText("h/b");
		QVERIFY(list->item(1)->isHidden());
		QVERIFY(list->model()->moveRow(QModelIndex(), 3, QModelIndex(), 0));
		QCOMPARE(ids(TA::tracks(dock)), (QStringList{before[3].id, before[1].id, before[2].id, before[0].id}));
		TA::searchEdit(dock)->clear();

		// A move in the middle of a refill is not a user reorder.
		const QStringList frozen = ids(TA::tracks(dock));
		TA::rebuildingList(dock) = true;
		QVERIFY(list->model()->moveRow(QModelIndex(), 0, QModelIndex(), 4));
		QCOMPARE(ids(TA::tracks(dock)), frozen);
		TA::rebuildingList(dock) = false;
		dock.syncTracksFromList();
		QCOMPARE(ids(TA::tracks(dock)), (QStringList{frozen[1], frozen[2], frozen[3], frozen[0]}));
	}
};

TRACKLANE_TEST_MAIN(TrackListTest)
#include "test_track_list.moc"
