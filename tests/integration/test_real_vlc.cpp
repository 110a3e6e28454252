// The dock driving the host's real VLC media source: end modes, pause, resume and seek on real
// media, and what goes on air. Test tones are generated with ffmpeg; the audio OBS mixes for
// output channel 0 is captured and each tone's frequency is found in 100 ms blocks, so that the
// length of every tone as heard can be compared with the length of its file.
//
// VLC runs faster than real time here (there is no audio device), and it hands its audio to OBS
// ahead of the time it is to be heard. The mix is what goes on air: it is made at the pace of
// OBS's own audio clock, so the tone lengths in it are the ones an audience would hear.

#include "test_host.hpp"
#include "thread_sanitizer.hpp"
#include "stand_in_source.hpp"
#include "stand_in_text.hpp"
#include "test_access.hpp"
#include "frontend.hpp"
#include "module/plugin-main.hpp"
#include "module/NowPlaying.hpp"
#include "module/NowPlayingFile.hpp"
#include "playback/SeekSlider.hpp"

#include <obs.h>
#include <media-io/audio-io.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QLabel>
#include <QToolButton>

#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <vector>

#ifdef TRACKLANE_TSAN
// Read by ThreadSanitizer besides tests/sanitizers/tsan.supp, for this program only. libobs runs the
// host VLC source's update on its graphics thread with the source's own settings object, which the
// UI thread writes without any lock (the dock applying a track, as the host's properties window
// would); the write that schedules the update is ordered before it only by libobs's own atomics.
// The update is uninstrumented VLC code reading through libobs, so the only frames of its side are
// libobs's settings lookup (memcmp, unnamed in the stripped libobs) and its directory helper.
extern "C" const char *__tsan_default_suppressions()
{
	return "race_top:memcmp\n"
	       "race:os_opendir\n";
}
#endif

namespace {

constexpr int SampleRate = 48000;
constexpr int BlockFrames = SampleRate / 10; // 100 ms

struct Tone {
	int frequency;
	double seconds;
	QString path;
};

// One stretch of the mix in which one tone was heard, and how long it sounded in all.
struct HeardTone {
	int frequency = 0;
	double seconds = 0.0;
};

// Collects channel 0 of OBS's output mix 0 from libobs's audio thread.
class MixCapture {
public:
	~MixCapture() { stop(); }

	void start()
	{
		{
			std::lock_guard<std::mutex> lock(mutex);
			samples.clear();
		}
		// Connected without holding the lock: libobs calls onAudio with its own lock held, the one
		// it takes to connect, so holding ours here would take the two in the other order.
		if (!connected) {
			obs_add_raw_audio_callback(0, nullptr, &MixCapture::onAudio, this);
			connected = true;
		}
	}
	void stop()
	{
		if (connected) {
			obs_remove_raw_audio_callback(0, &MixCapture::onAudio, this);
			connected = false;
		}
	}
	std::vector<float> take()
	{
		std::lock_guard<std::mutex> lock(mutex);
		return samples;
	}
	size_t frames()
	{
		std::lock_guard<std::mutex> lock(mutex);
		return samples.size();
	}

private:
	static void onAudio(void *param, size_t, struct audio_data *data)
	{
		auto *self = static_cast<MixCapture *>(param);
		const float *left = reinterpret_cast<const float *>(data->data[0]);
		std::lock_guard<std::mutex> lock(self->mutex);
		if (left)
			self->samples.insert(self->samples.end(), left, left + data->frames);
		else
			self->samples.insert(self->samples.end(), data->frames, 0.0f);
	}

	std::mutex mutex;
	std::vector<float> samples;
	bool connected = false;
};

// Amplitude of one frequency in a block of samples (Goertzel). A tone that fills the whole block
// reads as its amplitude; one that fills part of it reads as that part of its amplitude.
double amplitudeOf(const float *x, int n, int frequency)
{
	const double w = 2.0 * M_PI * frequency / SampleRate;
	const double coeff = 2.0 * std::cos(w);
	double s1 = 0.0, s2 = 0.0;
	for (int i = 0; i < n; ++i) {
		const double s = x[i] + coeff * s1 - s2;
		s2 = s1;
		s1 = s;
	}
	const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
	return 2.0 * std::sqrt(std::max(power, 0.0)) / n;
}

// The tones heard in the mix, in order. Blocks in which a tone is present count with the share of
// the block it fills, so a stretch's length is accurate to well below one block; a stretch of a
// tone ends at a block without it (silence or another tone).
QList<HeardTone> heardTones(const std::vector<float> &mix, const QList<Tone> &tones)
{
	const int blocks = int(mix.size() / BlockFrames);
	QList<QList<double>> amplitude; // [tone][block]
	QList<double> full;
	for (const Tone &tone : tones) {
		QList<double> a;
		for (int b = 0; b < blocks; ++b)
			a << amplitudeOf(mix.data() + size_t(b) * BlockFrames, BlockFrames, tone.frequency);
		full << (a.isEmpty() ? 0.0 : *std::max_element(a.cbegin(), a.cend()));
		amplitude << a;
	}

	QList<HeardTone> heard;
	int last = -1;
	for (int b = 0; b < blocks; ++b) {
		int present = -1;
		double share = 0.0;
		for (int t = 0; t < tones.size(); ++t) {
			const double s = full[t] > 0.01 ? amplitude[t][b] / full[t] : 0.0;
			if (s > 0.1 && s > share) {
				present = t;
				share = s;
			}
		}
		if (present < 0) {
			last = -1;
			continue;
		}
		if (present != last)
			heard << HeardTone{tones[present].frequency, 0.0};
		heard.last().seconds += std::min(share, 1.0) * 0.1;
		last = present;
	}
	return heard;
}

QString describe(const QList<HeardTone> &heard)
{
	QStringList parts;
	for (const HeardTone &h : heard)
		parts << QStringLiteral("%1 Hz %2 s").arg(h.frequency).arg(h.seconds, 0, 'f', 3);
	return parts.join(QStringLiteral(", "));
}

// The silences between one sound and the next in the mix, in milliseconds: what an audience
// hears between two tracks. Measured in 1 ms windows; silence before the first and after the last
// sound does not count. Two sounds with no silent window between them count as a gap of 0.
QList<int> silencesBetween(const std::vector<float> &mix, int sounds)
{
	constexpr int Window = SampleRate / 1000;
	QList<bool> loud;
	for (size_t at = 0; at + Window <= mix.size(); at += Window) {
		float peak = 0.0f;
		for (int i = 0; i < Window; ++i)
			peak = std::max(peak, std::abs(mix[at + size_t(i)]));
		loud << (peak > 0.01f);
	}
	QList<int> gaps;
	const qsizetype first = loud.indexOf(true);
	const qsizetype last = loud.lastIndexOf(true);
	int run = 0;
	for (qsizetype w = first; first >= 0 && w <= last; ++w) {
		if (!loud[w]) {
			++run;
		} else if (run > 0) {
			gaps << run;
			run = 0;
		}
	}
	while (gaps.size() < sounds - 1)
		gaps << 0;
	return gaps;
}

QString describeGaps(const QList<int> &gaps)
{
	QStringList parts;
	for (int gap : gaps)
		parts << QStringLiteral("%1 ms").arg(gap);
	return parts.join(QStringLiteral(", "));
}

// How long the mix still sounded after a moment in it, in milliseconds: the end of the last 1 ms
// window from that frame on whose peak is above the silence threshold, 0 when there is none.
int soundAfter(const std::vector<float> &mix, size_t fromFrame)
{
	constexpr int Window = SampleRate / 1000;
	int last = 0;
	for (size_t at = fromFrame, w = 1; at + Window <= mix.size(); at += Window, ++w) {
		float peak = 0.0f;
		for (int i = 0; i < Window; ++i)
			peak = std::max(peak, std::abs(mix[at + size_t(i)]));
		if (peak > 0.01f)
			last = int(w);
	}
	return last;
}

// Serves a file over HTTP on the loopback interface the way a stream server does: no length, the
// body ends when the server closes the connection. VLC can tell such a stream's length only from
// the stream itself, which a plain MP3 without a header frame does not say.
class StreamServer {
public:
	bool start(const QByteArray &content)
	{
		body = content;
		QObject::connect(&server, &QTcpServer::newConnection, [this]() {
			while (QTcpSocket *socket = server.nextPendingConnection())
				serve(socket);
		});
		return server.listen(QHostAddress::LocalHost, 0);
	}
	QString url(const QString &name) const
	{
		return QStringLiteral("http://127.0.0.1:%1/%2").arg(server.serverPort()).arg(name);
	}
	int requests() const { return served; }

private:
	void serve(QTcpSocket *socket)
	{
		QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
		QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket]() {
			QByteArray &request = pending[socket];
			request += socket->readAll();
			if (!request.contains("\r\n\r\n") || request.isEmpty())
				return;
			pending.remove(socket);
			++served;
			socket->write("HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nConnection: close\r\n\r\n");
			socket->write(body);
			QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket]() {
				if (socket->bytesToWrite() == 0)
					socket->disconnectFromHost();
			});
		});
	}

	QTcpServer server;
	QByteArray body;
	QHash<QTcpSocket *, QByteArray> pending;
	int served = 0;
};

// Counts the source's media_started signals (they come from VLC's threads).
struct StartCounter {
	std::atomic<int> starts{0};
	static void onStarted(void *param, calldata_t *) { static_cast<StartCounter *>(param)->starts++; }
};

// Reads any source's playlist, the real VLC source's too.
using standin::playlistOf;

} // namespace

class RealVlcTest : public QObject {
	Q_OBJECT

	QTemporaryDir dir;
	QList<Tone> tones;
	QList<Tone> shortTones;
	// An MP3 without a header frame, served without a length: VLC knows no duration for it.
	Tone streamTone{660, 2.0, {}};
	// Not audio at all, under a name VLC takes for an MP3.
	QString brokenPath;
	Tracklane *dock = nullptr;
	obs_source_t *source = nullptr;
	obs_scene_t *scene = nullptr;
	StartCounter started;
	MixCapture capture;

	QString trackId(int i) { return TA::tracks(*dock)[i].id; }
	int state() { return int(obs_source_media_get_state(source)); }

	// Processes events (the dock's own poll timer runs) until done() holds or the bound passes.
	template<typename F> bool waitUntil(F done, int boundMs) { return QTest::qWaitFor(done, boundMs); }

	// Waits until the mix has held none of the tones for half a second after one was heard, so
	// that the tail of the last track is in the capture. Bounded.
	void waitForQuietMix(int boundMs) { waitForQuietMix(boundMs, tones); }
	void waitForQuietMix(int boundMs, const QList<Tone> &listened)
	{
		QElapsedTimer bound;
		bound.start();
		while (bound.elapsed() < boundMs) {
			QTest::qWait(100);
			const std::vector<float> mix = capture.take();
			const size_t window = SampleRate / 2;
			if (mix.size() < window)
				continue;
			bool quiet = true;
			for (const Tone &tone : listened) {
				if (amplitudeOf(mix.data() + mix.size() - window, int(window), tone.frequency) > 0.005)
					quiet = false;
			}
			if (quiet && !heardTones(mix, listened).isEmpty())
				return;
		}
	}

	void doubleClickRow(int row)
	{
		QListWidget *list = TA::trackList(*dock);
		QVERIFY(row < list->count());
		QListWidgetItem *item = list->item(row);
		list->scrollToItem(item);
		const QPoint centre = list->visualItemRect(item).center();
		// The first click of a double click selects the row; the double click starts it.
		QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, centre);
		QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, centre);
	}

	void setEndMode(int mode)
	{
		QComboBox *combo = TA::endModeCombo(*dock);
		combo->setCurrentIndex(mode);
		QCOMPARE(TA::endMode(*dock), mode);
	}

private Q_SLOTS:
	void initTestCase()
	{
		QString why;
		QVERIFY2(testhost::loadRealVlcModule(&why), qPrintable(why));

		const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
		QVERIFY2(!ffmpeg.isEmpty(), "ffmpeg is needed to make the test tones");
		// Distinct frequencies that fit a whole number of cycles into a 100 ms block, and distinct
		// lengths, so that neither a swapped nor a cut track can pass for the right one.
		tones = {{440, 2.0, {}}, {770, 3.0, {}}, {1210, 2.5, {}}};
		// Jingles and stingers: shorter than the time VLC reads ahead of what is heard.
		shortTones = {{550, 0.3, {}}, {990, 0.8, {}}, {1430, 1.2, {}}};
		QList<Tone *> all;
		for (QList<Tone> *list : {&tones, &shortTones})
			for (Tone &tone : *list)
				all << &tone;
		all << &streamTone;
		for (Tone *t : all) {
			Tone &tone = *t;
			const bool stream = t == &streamTone;
			tone.path = dir.filePath(
				QString::fromLatin1(stream ? "stream-%1.mp3" : "tone-%1.wav").arg(tone.frequency));
			QStringList codec;
			if (stream)
				codec = {QStringLiteral("-c:a"), QStringLiteral("libmp3lame"),  QStringLiteral("-b:a"),
					 QStringLiteral("128k"), QStringLiteral("-write_xing"), QStringLiteral("0")};
			QProcess process;
			process.start(ffmpeg, QStringList{QStringLiteral("-nostdin"), QStringLiteral("-hide_banner"),
							  QStringLiteral("-loglevel"), QStringLiteral("error"),
							  QStringLiteral("-y"), QStringLiteral("-f"),
							  QStringLiteral("lavfi"), QStringLiteral("-i"),
							  QStringLiteral("sine=frequency=%1:sample_rate=%2:duration=%3")
								  .arg(tone.frequency)
								  .arg(SampleRate)
								  .arg(tone.seconds),
							  QStringLiteral("-ac"), QStringLiteral("2")} +
						      codec + QStringList{tone.path});
			const bool finished = process.waitForFinished(30000);
			if (!finished)
				process.kill();
			QVERIFY2(finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
				 process.readAllStandardError().constData());
			// 16-bit stereo for the WAV files; 128 kbit/s for the MP3.
			const double bytesPerSecond = stream ? 128000 / 8 : SampleRate * 4;
			QVERIFY(QFileInfo(tone.path).size() > qint64(tone.seconds * bytesPerSecond * 0.9));
		}

		brokenPath = dir.filePath(QStringLiteral("broken.mp3"));
		QFile broken(brokenPath);
		QVERIFY(broken.open(QIODevice::WriteOnly));
		for (int i = 0; i < 2000; ++i)
			broken.write("This is a text file, not a recording.\n");
		broken.close();
	}

	void init()
	{
		testfrontend::reset();
		testhost::clearLog();
		started.starts = 0;

		// The source starts with no playlist; the dock's saved state holds the three tones, as
		// after the dock stopped at the end of its list.
		obs_data_t *settings = obs_data_create();
		obs_data_array_t *empty = obs_data_array_create();
		obs_data_set_array(settings, "playlist", empty);
		obs_data_array_release(empty);
		obs_data_set_string(settings, "playback_behavior", "always_play");
		source = obs_source_create("vlc_source", "Tracklane real VLC", settings, nullptr);
		obs_data_release(settings);
		QVERIFY(source);
		QCOMPARE(QString::fromUtf8(obs_source_get_unversioned_id(source)), QStringLiteral("vlc_source"));

		obs_data_t *state = obs_data_create();
		obs_data_array_t *trackArray = obs_data_array_create();
		for (int i = 0; i < tones.size(); ++i) {
			obs_data_t *item = obs_data_create();
			obs_data_set_string(item, "value", tones[i].path.toUtf8().constData());
			obs_data_set_string(item, "id", QStringLiteral("tone-%1").arg(i).toUtf8().constData());
			obs_data_array_push_back(trackArray, item);
			obs_data_release(item);
		}
		obs_data_array_t *observed = obs_data_array_create();
		obs_data_set_int(state, "version", 1);
		obs_data_set_array(state, "tracks", trackArray);
		obs_data_set_array(state, "observed", observed);
		obs_data_set_bool(state, "managed", true);
		obs_data_set_string(state, "originalBehavior", "stop_restart");
		obs_data_array_release(observed);
		obs_data_array_release(trackArray);
		obs_data_t *priv = obs_source_get_private_settings(source);
		obs_data_set_obj(priv, "OBS-Tracklane", state);
		obs_data_release(priv);
		obs_data_release(state);

		// Only a source in the scene on output channel 0 reaches the mix.
		scene = obs_scene_create("Tracklane real VLC scene");
		obs_scene_add(scene, source);
		obs_set_output_source(0, obs_scene_get_source(scene));

		signal_handler_connect(obs_source_get_signal_handler(source), "media_started", &StartCounter::onStarted,
				       &started);

		dock = new Tracklane(dir.filePath(QStringLiteral("settings.json")), nullptr);
		dock->resize(500, 600);
		dock->show();
		QVERIFY(QTest::qWaitForWindowExposed(dock));
		dock->onCollectionLoaded();
		QComboBox *selector = TA::sourceSelector(*dock);
		const int index = selector->findData(QString::fromUtf8(obs_source_get_uuid(source)), Qt::UserRole);
		QVERIFY(index > 0);
		selector->setCurrentIndex(index);
		QCOMPARE(int(TA::tracks(*dock).size()), int(tones.size()));
		QVERIFY(TA::managed(*dock));
		QCOMPARE(TA::trackList(*dock)->count(), int(tones.size()));
		QVERIFY(TA::pollTimer(*dock).isActive());
	}

	void cleanup()
	{
		capture.stop();
		delete dock;
		dock = nullptr;
		signal_handler_disconnect(obs_source_get_signal_handler(source), "media_started",
					  &StartCounter::onStarted, &started);
		obs_set_output_source(0, nullptr);
		obs_source_remove(obs_scene_get_source(scene));
		obs_scene_release(scene);
		scene = nullptr;
		obs_source_remove(source);
		obs_source_release(source);
		source = nullptr;
		testhost::waitForGraphicsTicks(2);
	}

	// End mode next: every track in list order, each heard for its whole length, then a stop
	// that leaves the source with nothing to play.
	void endModeNextWalksTheListAndStopsAfterTheLast()
	{
		setEndMode(1);
		capture.start();
		QStringList loaded;  // the dock's current track, each time it changes
		QStringList sourced; // the source's playlist, each time it changes
		doubleClickRow(0);
		QCOMPARE(TA::currentTrackId(*dock), trackId(0));

		const bool walked = waitUntil(
			[&]() {
				const QString current = TA::currentTrackId(*dock);
				if (loaded.isEmpty() || loaded.last() != current)
					loaded << current;
				const QString list = playlistOf(source).join(QLatin1Char('|'));
				if (sourced.isEmpty() || sourced.last() != list)
					sourced << list;
				return current == trackId(2) && list.isEmpty() && !TA::trackSwitchPending(*dock);
			},
			30000);
		QVERIFY2(walked,
			 qPrintable(QStringLiteral("loaded %1; source held %2")
					    .arg(loaded.join(QLatin1Char(' ')), sourced.join(QLatin1String(" ; ")))));
		waitForQuietMix(5000);
		capture.stop();

		QCOMPARE(loaded, QStringList({trackId(0), trackId(1), trackId(2)}));
		// The source held each track alone, in list order, and was emptied after the last.
		QStringList expectedSourced;
		for (const Tone &tone : tones)
			expectedSourced << tone.path;
		expectedSourced << QString();
		QCOMPARE(sourced.mid(sourced.indexOf(tones[0].path)), expectedSourced);
		QVERIFY(TA::managed(*dock));
		QVERIFY(TA::observedPlaylist(*dock).isEmpty());
		QCOMPARE(started.starts.load(), int(tones.size()));
		QVERIFY(state() != OBS_MEDIA_STATE_PLAYING);
		QCOMPARE(TA::playPauseButton(*dock)->accessibleName(), moduleQString("Play"));

		const std::vector<float> mix = capture.take();
		const QList<HeardTone> heard = heardTones(mix, tones);
		qInfo("heard with end mode next: %s", qPrintable(describe(heard)));
		qInfo("silence between tracks: %s", qPrintable(describeGaps(silencesBetween(mix, int(tones.size())))));
		QCOMPARE(heard.size(), tones.size());
		for (int i = 0; i < tones.size(); ++i) {
			QCOMPARE(heard[i].frequency, tones[i].frequency);
			QVERIFY2(std::abs(heard[i].seconds - tones[i].seconds) <= 0.1,
				 qPrintable(QStringLiteral("%1 Hz sounded %2 s of %3 s")
						    .arg(tones[i].frequency)
						    .arg(heard[i].seconds, 0, 'f', 3)
						    .arg(tones[i].seconds)));
		}
	}

	// Jingles shorter than the time VLC reads ahead of what is heard: each one still hands over to
	// the next, and each is heard whole.
	void shortTracksHandOverAndAreHeardWhole()
	{
		QStringList paths;
		for (const Tone &tone : shortTones)
			paths << tone.path;
		dock->appendTracks(paths);
		QCOMPARE(int(TA::tracks(*dock).size()), int(tones.size() + shortTones.size()));
		const int first = int(tones.size());
		setEndMode(1);
		capture.start();
		QStringList loaded;
		doubleClickRow(first);

		const bool walked = waitUntil(
			[&]() {
				const QString current = TA::currentTrackId(*dock);
				if (loaded.isEmpty() || loaded.last() != current)
					loaded << current;
				return current == trackId(first + 2) && playlistOf(source).isEmpty() &&
				       !TA::trackSwitchPending(*dock);
			},
			20000);
		QVERIFY2(walked, qPrintable(QStringLiteral("loaded %1").arg(loaded.join(QLatin1Char(' ')))));
		waitForQuietMix(5000);
		capture.stop();
		QCOMPARE(loaded, QStringList({trackId(first), trackId(first + 1), trackId(first + 2)}));

		const std::vector<float> mix = capture.take();
		const QList<HeardTone> heard = heardTones(mix, shortTones);
		qInfo("heard short tracks with end mode next: %s", qPrintable(describe(heard)));
		qInfo("silence between short tracks: %s",
		      qPrintable(describeGaps(silencesBetween(mix, int(shortTones.size())))));
		QCOMPARE(heard.size(), shortTones.size());
		for (int i = 0; i < shortTones.size(); ++i) {
			QCOMPARE(heard[i].frequency, shortTones[i].frequency);
			QVERIFY2(std::abs(heard[i].seconds - shortTones[i].seconds) <= 0.1,
				 qPrintable(QStringLiteral("%1 Hz sounded %2 s of %3 s")
						    .arg(shortTones[i].frequency)
						    .arg(heard[i].seconds, 0, 'f', 3)
						    .arg(shortTones[i].seconds)));
		}
	}

	// What the audience is shown follows the real VLC source: each track by its own tags once VLC
	// has opened it, one without tags (and under a second) by its file's name, a file VLC cannot
	// open by its name and never by the title before it; a repeat changes nothing, and a stop shows
	// the text for when nothing plays. The text file follows the same lines.
	void nowPlayingNamesEachTrackByItsOwnTags()
	{
		const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
		const struct {
			const char *name;
			int frequency;
			double seconds;
			QStringList metadata;
		} made[] = {
			{"alpha.mp3", 660, 1.5,
			 {QStringLiteral("title=Alpha"), QStringLiteral("artist=Ann"), QStringLiteral("album=First")}},
			{"short.wav", 880, 0.6, {}},
			{"gamma.ogg", 1100, 1.0,
			 {QStringLiteral("title=Gamma\nsecond line"), QStringLiteral("artist=Cy")}},
		};
		QStringList paths;
		for (const auto &m : made) {
			const QString path = dir.filePath(QString::fromLatin1(m.name));
			const QString tone = QStringLiteral("sine=frequency=%1:sample_rate=%2:duration=%3")
						     .arg(m.frequency)
						     .arg(SampleRate)
						     .arg(m.seconds);
			QStringList args = {QStringLiteral("-nostdin"), QStringLiteral("-loglevel"),
					    QStringLiteral("error"),    QStringLiteral("-y"),
					    QStringLiteral("-f"),       QStringLiteral("lavfi"),
					    QStringLiteral("-i"),       tone,
					    QStringLiteral("-ac"),      QStringLiteral("2")};
			if (path.endsWith(QStringLiteral(".mp3")))
				args << QStringLiteral("-c:a") << QStringLiteral("libmp3lame");
			if (path.endsWith(QStringLiteral(".ogg")))
				args << QStringLiteral("-c:a") << QStringLiteral("libvorbis");
			for (const QString &tag : m.metadata)
				args << QStringLiteral("-metadata") << tag;
			args << path;
			QProcess process;
			process.start(ffmpeg, args);
			QVERIFY(process.waitForFinished(30000) && process.exitCode() == 0);
			paths << path;
		}
		// Not media at all, under a media file's name.
		const QString broken = dir.filePath(QStringLiteral("broken.mp3"));
		{
			QFile file(broken);
			QVERIFY(file.open(QIODevice::WriteOnly));
			file.write(QByteArray(5000, 'g'));
		}
		paths << broken;
		dock->appendTracks(paths);
		const int first = int(tones.size());

		static bool textTypeRegistered = false;
		if (!textTypeRegistered)
			standin::registerTextSourceType();
		textTypeRegistered = true;
		obs_source_t *text = standin::createText("Now playing");
		const auto dropText = qScopeGuard([&]() {
			obs_source_remove(text);
			obs_source_release(text);
		});
		const QString file = dir.filePath(QStringLiteral("now.txt"));
		const auto contentOf = [&]() {
			QFile f(file);
			return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
		};
		const auto inodeOf = [&]() {
			struct stat info = {};
			return ::stat(QFile::encodeName(file).constData(), &info) == 0 ? info.st_ino : ino_t(0);
		};
		tracklane::NowPlaying now(dock);
		now.followFrontendEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);
		tracklane::NowPlayingSettings settings;
		settings.textSourceUuid = QString::fromUtf8(obs_source_get_uuid(text));
		settings.filePath = file;
		settings.idleText = QStringLiteral("Off air");
		now.setSettings(settings);

		setEndMode(1);
		doubleClickRow(first);
		QStringList written; // the file's content each time it changes
		const auto follow = [&]() {
			const QString content = contentOf();
			if (QFileInfo::exists(file) && (written.isEmpty() || written.last() != content))
				written << content;
		};
		const bool reached = waitUntil(
			[&]() {
				follow();
				return now.line() == QStringLiteral("broken") && contentOf() == now.line();
			},
			30000);
		QVERIFY2(reached, qPrintable(QStringLiteral("shown: %1").arg(standin::textUpdates(text).join(" | "))));
		const QStringList walked = {QStringLiteral("Off air"), QStringLiteral(u"Ann \u2013 Alpha"),
					    QStringLiteral("short"), QStringLiteral(u"Cy \u2013 Gamma second line"),
					    QStringLiteral("broken")};
		testhost::waitForGraphicsTicks(2);
		QCOMPARE(standin::textUpdates(text), walked);
		QCOMPARE(written, walked);

		// The short track again and again: each start is read anew, nothing new is shown or written.
		setEndMode(2);
		const quint64 before = now.tags().start;
		doubleClickRow(first + 1);
		QVERIFY(waitUntil([&]() { return now.line() == QStringLiteral("short") && contentOf() == now.line(); },
				  10000));
		const ino_t once = inodeOf();
		QVERIFY(waitUntil([&]() { return now.tags().start >= before + 3 && now.tags().settled; }, 20000));
		QCOMPARE(now.tags().trackId, trackId(first + 1));
		QVERIFY(now.tags().durationMs > 0);
		QCOMPARE(now.tags().title, QString());
		QCOMPARE(inodeOf(), once);
		setEndMode(0);
		dock->stopPlayback();
		QVERIFY(now.fileWriter().waitUntilIdle(5000));
		testhost::waitForGraphicsTicks(2);
		const QStringList stopped = walked + QStringList({QStringLiteral("short"), QStringLiteral("Off air")});
		QCOMPARE(standin::textUpdates(text), stopped);
		QCOMPARE(contentOf(), QStringLiteral("Off air"));
	}

	// End mode repeat: the same track starts again each time it ends, and every round is heard
	// whole. Switching to stop lets the round that plays end and stops there.
	void endModeRepeatRestartsTheSameTrack()
	{
		setEndMode(2);
		capture.start();
		doubleClickRow(0);

		bool otherTrack = false;
		const bool repeated = waitUntil(
			[&]() {
				const QStringList list = playlistOf(source);
				if (TA::currentTrackId(*dock) != trackId(0) ||
				    (!list.isEmpty() && list != QStringList{tones[0].path}))
					otherTrack = true;
				return started.starts.load() >= 3;
			},
			30000);
		QVERIFY2(repeated, qPrintable(QStringLiteral("started %1 times").arg(started.starts.load())));
		QVERIFY(!otherTrack);

		setEndMode(0);
		QVERIFY(waitUntil([&]() { return playlistOf(source).isEmpty() && !TA::trackSwitchPending(*dock); },
				  15000));
		waitForQuietMix(5000);
		capture.stop();
		const int rounds = started.starts.load();
		QVERIFY(rounds >= 3);
		QCOMPARE(TA::currentTrackId(*dock), trackId(0));

		const QList<HeardTone> heard = heardTones(capture.take(), tones);
		qInfo("heard with end mode repeat (%d rounds): %s", rounds, qPrintable(describe(heard)));
		double total = 0.0;
		for (const HeardTone &h : heard) {
			QCOMPARE(h.frequency, tones[0].frequency);
			total += h.seconds;
		}
		QVERIFY2(std::abs(total - rounds * tones[0].seconds) <= 0.1 * rounds,
			 qPrintable(QStringLiteral("%1 rounds of %2 s sounded %3 s in all")
					    .arg(rounds)
					    .arg(tones[0].seconds)
					    .arg(total, 0, 'f', 3)));
	}

	// Pause, resume and seek reach the real source; end mode stop then empties it at the end.
	void pauseResumeAndSeekActOnTheSource()
	{
		setEndMode(0);
		doubleClickRow(1);
		QToolButton *playPause = TA::playPauseButton(*dock);
		QVERIFY(waitUntil(
			[&]() { return state() == OBS_MEDIA_STATE_PLAYING && !TA::trackSwitchPending(*dock); }, 10000));
		QCOMPARE(playlistOf(source), QStringList{tones[1].path});

		// Only a track the poll has seen playing may fire the end mode later; VLC may finish the rest
		// after the resume before a poll sees it playing again.
		QVERIFY(waitUntil([&]() { return TA::playbackArmed(*dock); }, 5000));
		// The start signal arms it while VLC still opens the file; Play/Pause comes back with the
		// poll that sees the track playing.
		QVERIFY(waitUntil([&]() { return playPause->isEnabled(); }, 5000));
		QTest::mouseClick(playPause, Qt::LeftButton);
		QVERIFY(waitUntil([&]() { return state() == OBS_MEDIA_STATE_PAUSED; }, 5000));
		QTRY_COMPARE_WITH_TIMEOUT(playPause->accessibleName(), moduleQString("Resume"), 5000);
		// Paused, the position holds over a few polls.
		const int64_t pausedAt = obs_source_media_get_time(source);
		QTest::qWait(600);
		QCOMPARE(state(), int(OBS_MEDIA_STATE_PAUSED));
		QCOMPARE(obs_source_media_get_time(source), pausedAt);

		// Seek to three quarters through the slider, while paused.
		QTRY_VERIFY_WITH_TIMEOUT(TA::durationMs(*dock) > 0, 5000);
		const qint64 duration = TA::durationMs(*dock);
		QVERIFY(std::abs(duration - qint64(tones[1].seconds * 1000)) <= 100);
		SeekSlider *slider = TA::seekSlider(*dock);
		slider->setSliderDown(true);
		slider->setSliderPosition(750);
		slider->setSliderDown(false);
		const qint64 target = duration * 750 / 1000;
		QCOMPARE(TA::pendingSeekMs(*dock), target);
		QVERIFY2(waitUntil([&]() { return std::abs(obs_source_media_get_time(source) - target) <= 150; }, 5000),
			 qPrintable(QStringLiteral("time %1 after a seek to %2")
					    .arg(obs_source_media_get_time(source))
					    .arg(target)));

		QTest::mouseClick(playPause, Qt::LeftButton);
		QVERIFY(waitUntil([&]() { return state() != OBS_MEDIA_STATE_PAUSED; }, 5000));
		QCOMPARE(TA::currentTrackId(*dock), trackId(1));

		// End mode stop: the track ends and the source is left with nothing to play.
		QStringList states;
		const bool stopped = waitUntil(
			[&]() {
				const QString s = QString::number(state());
				if (states.isEmpty() || states.last() != s)
					states << s;
				return playlistOf(source).isEmpty();
			},
			15000);
		QVERIFY2(stopped,
			 qPrintable(QStringLiteral("states after resuming: %1").arg(states.join(QLatin1Char(' ')))));
		QCOMPARE(TA::currentTrackId(*dock), trackId(1));
	}

	// End mode stop: the dock says the track is over only once the audience has heard its end, so
	// an operator (or a script) who starts the next track at that moment cuts none of it.
	void endModeStopTellsOfTheEndOnceItIsHeard()
	{
		setEndMode(0);
		capture.start();
		QToolButton *playPause = TA::playPauseButton(*dock);
		const QString pause = moduleQString("Pause");
		const QString play = moduleQString("Play");
		for (int row : {0, 1}) {
			doubleClickRow(row);
			QVERIFY(waitUntil([&]() { return playPause->accessibleName() == pause; }, 10000));
			QVERIFY(waitUntil([&]() { return playPause->accessibleName() == play; }, 15000));
			QCOMPARE(TA::currentTrackId(*dock), trackId(row));
			QVERIFY(playlistOf(source).isEmpty());
		}
		waitForQuietMix(5000);
		capture.stop();

		const QList<HeardTone> heard = heardTones(capture.take(), tones);
		qInfo("heard with end mode stop, each started when the dock showed Play: %s",
		      qPrintable(describe(heard)));
		QCOMPARE(heard.size(), 2);
		for (int i = 0; i < 2; ++i) {
			QCOMPARE(heard[i].frequency, tones[i].frequency);
			QVERIFY2(std::abs(heard[i].seconds - tones[i].seconds) <= 0.1,
				 qPrintable(QStringLiteral("%1 Hz sounded %2 s of %3 s")
						    .arg(tones[i].frequency)
						    .arg(heard[i].seconds, 0, 'f', 3)
						    .arg(tones[i].seconds)));
		}
	}

	// The operator's Stop silences the source on air at once, not after the second of audio VLC has
	// handed over ahead of time; started again, the track plays normally.
	void stopIsSilentOnAirAtOnce()
	{
		setEndMode(0);
		capture.start();
		doubleClickRow(1);
		QVERIFY(waitUntil(
			[&]() {
				const QList<HeardTone> heard = heardTones(capture.take(), tones);
				return !heard.isEmpty() && heard.last().seconds >= 1.0;
			},
			10000));
		// Where the mix has got to when the operator clicks.
		const size_t clickedAt = capture.frames();
		QTest::mouseClick(TA::stopButton(*dock), Qt::LeftButton);
		// Longer than VLC's lead: whatever the source had handed over would have been heard by now.
		QTest::qWait(2000);
		const int after = soundAfter(capture.take(), clickedAt);
		qInfo("sound on air after Stop: %d ms", after);
		QVERIFY2(after <= 200, qPrintable(QStringLiteral("the mix still sounded %1 ms after Stop").arg(after)));

		doubleClickRow(0);
		QVERIFY(waitUntil(
			[&]() { return playlistOf(source).isEmpty() && TA::currentTrackId(*dock) == trackId(0); },
			15000));
		waitForQuietMix(5000);
		capture.stop();
		const QList<HeardTone> heard = heardTones(capture.take(), tones);
		qInfo("heard after Stop and a new start: %s", qPrintable(describe(heard)));
		QCOMPARE(heard.size(), 2);
		QCOMPARE(heard[1].frequency, tones[0].frequency);
		QVERIFY2(std::abs(heard[1].seconds - tones[0].seconds) <= 0.1, qPrintable(describe(heard)));
	}

	// Advanced Audio Properties let a source's audio be delayed by seconds; the hand-over to the next
	// track still waits until the end of the track has been heard.
	void tailDelayedBySyncOffsetIsHeardWhole()
	{
		obs_source_set_sync_offset(source, 2500 * 1000000LL);
		setEndMode(1);
		capture.start();
		doubleClickRow(0);
		QVERIFY(waitUntil(
			[&]() { return TA::currentTrackId(*dock) == trackId(1) && !TA::trackSwitchPending(*dock); },
			20000));
		// The next track's first audio comes as late as the first one's did, so the mix holds the
		// first one alone for a while yet: time enough for its last block to be complete.
		QTest::qWait(500);
		const QList<HeardTone> heard = heardTones(capture.take(), tones);
		QTest::mouseClick(TA::stopButton(*dock), Qt::LeftButton);
		capture.stop();
		qInfo("heard with a sync offset of 2.5 s before the hand-over: %s", qPrintable(describe(heard)));
		QVERIFY(!heard.isEmpty());
		QCOMPARE(heard[0].frequency, tones[0].frequency);
		// With that offset libobs itself loses about 65 ms of a track's end (1.93 s of 2 s heard with
		// the source left to end alone); the cut this guards against lost half a second and more.
		QVERIFY2(std::abs(heard[0].seconds - tones[0].seconds) <= 0.15, qPrintable(describe(heard)));
	}

	// A stream whose length VLC cannot tell (an MP3 served without one) plays, ends with no duration,
	// and end mode next goes on to the next track once its end has been heard.
	void streamOfUnknownLengthAdvances()
	{
		QFile file(streamTone.path);
		QVERIFY(file.open(QIODevice::ReadOnly));
		StreamServer server;
		QVERIFY(server.start(file.readAll()));
		const QList<Tone> played = {streamTone, shortTones[0]};
		dock->appendTracks({server.url(QStringLiteral("live.mp3")), shortTones[0].path});
		const int first = int(tones.size());
		setEndMode(1);
		capture.start();
		QStringList loaded;
		bool lengthKnown = false;
		// What the dock shows while the stream's tail is heard: playing, its time running on.
		QStringList tailShown;
		QLabel *time = TA::timeLabel(*dock);
		doubleClickRow(first);
		const bool walked = waitUntil(
			[&]() {
				const QString current = TA::currentTrackId(*dock);
				if (loaded.isEmpty() || loaded.last() != current)
					loaded << current;
				if (current == trackId(first) && state() == OBS_MEDIA_STATE_PLAYING &&
				    obs_source_media_get_duration(source) > 0)
					lengthKnown = true;
				if (current == trackId(first) && TA::endHandOverDue(*dock) &&
				    (tailShown.isEmpty() || tailShown.last() != time->accessibleDescription()))
					tailShown << time->accessibleDescription();
				return current == trackId(first + 1) && playlistOf(source).isEmpty() &&
				       !TA::trackSwitchPending(*dock);
			},
			20000);
		QVERIFY2(walked, qPrintable(QStringLiteral("loaded %1; %2 requests")
						    .arg(loaded.join(QLatin1Char(' ')))
						    .arg(server.requests())));
		QVERIFY(!lengthKnown);
		qInfo("shown while the stream's tail was heard: %s", qPrintable(tailShown.join(QLatin1String("; "))));
		QVERIFY(!tailShown.isEmpty());
		const QString playing = moduleQString("StatusPlaying") + QStringLiteral(u" \u00B7 ");
		QVERIFY2(tailShown.last().startsWith(playing) &&
				 !tailShown.last().startsWith(playing + QStringLiteral("0:00")),
			 qPrintable(tailShown.last()));
		waitForQuietMix(5000, played);
		capture.stop();
		const QList<HeardTone> heard = heardTones(capture.take(), played);
		qInfo("heard a stream of unknown length, then the next track: %s", qPrintable(describe(heard)));
		QCOMPARE(heard.size(), 2);
		for (int i = 0; i < 2; ++i) {
			QCOMPARE(heard[i].frequency, played[i].frequency);
			QVERIFY2(std::abs(heard[i].seconds - played[i].seconds) <= 0.1, qPrintable(describe(heard)));
		}
	}

	// A file VLC cannot decode never plays: no end mode fires (repeat would load it again and again),
	// and the dock says on its message line that it could not be played.
	void undecodableFileIsReportedAndFiresNoEndMode()
	{
		dock->appendTracks({brokenPath});
		const int broken = int(tones.size());
		setEndMode(2);
		QLabel *message = TA::messageLabel(*dock);
		QStringList states;
		doubleClickRow(broken);
		const bool reported = waitUntil(
			[&]() {
				const QString s = QString::number(state());
				if (states.isEmpty() || states.last() != s)
					states << s;
				return !message->isHidden();
			},
			10000);
		QVERIFY2(reported, qPrintable(QStringLiteral("states: %1").arg(states.join(QLatin1Char(' ')))));
		QVERIFY2(message->text().contains(moduleQString("CannotPlay").arg(brokenPath, 0, QLatin1Char(' '))),
			 qPrintable(message->text()));
		const int starts = started.starts.load();
		QTest::qWait(1500);
		QCOMPARE(started.starts.load(), starts);
		QCOMPARE(TA::currentTrackId(*dock), trackId(broken));
		QVERIFY(!TA::trackSwitchPending(*dock));
	}
};

TRACKLANE_TEST_MAIN_REAL_VLC(RealVlcTest)
#include "test_real_vlc.moc"
