#include "tracks/FileProbe.hpp"
#include "tracks/TrackEntry.hpp"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

#ifdef TRACKLANE_HAVE_AVFORMAT
extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}
#endif

namespace {

// How long one file may keep libavformat busy; a file on a slow share that takes longer is
// reported as of unknown length rather than holding a worker.
constexpr int DurationTimeoutMs = 5000;

// A batch goes to the UI thread when it is this large, or this old, or the queue has run dry:
// one queued call per result would flood the UI thread's event queue at 50 000 tracks.
constexpr int BatchSize = 128;
constexpr qint64 BatchAgeMs = 30;

// libavformat gives a file up by DurationTimeoutMs; a look still inside it well after that is blocked
// in the file system (a dead mount) and may never return. It no longer counts against the workers'
// bound, so the rest of the queue goes on; once this many are stuck, none is replaced any more.
constexpr auto StuckAfter = std::chrono::milliseconds(DurationTimeoutMs + 1000);
constexpr int MaxStuckLooks = 16;
constexpr auto SuperviseEvery = std::chrono::milliseconds(1000);

std::mutex probeFunctionMutex;
FileProbe::ProbeFunction probeFunction;

FileFigures runProbe(const QString &path)
{
	FileProbe::ProbeFunction function;
	{
		std::lock_guard<std::mutex> lock(probeFunctionMutex);
		function = probeFunction;
	}
	return function ? function(path) : probeFile(path);
}

#ifdef TRACKLANE_HAVE_AVFORMAT
struct Deadline {
	std::chrono::steady_clock::time_point end;
};

int interruptAtDeadline(void *opaque)
{
	const Deadline *deadline = static_cast<const Deadline *>(opaque);
	return std::chrono::steady_clock::now() >= deadline->end ? 1 : 0;
}

qint64 durationOf(const AVFormatContext *context)
{
	if (context->duration != AV_NOPTS_VALUE && context->duration > 0)
		return qint64(context->duration / (AV_TIME_BASE / 1000));
	return DurationUnknown;
}
#endif

} // namespace

qint64 probeDurationMs(const QString &localPath, int timeoutMs)
{
#ifdef TRACKLANE_HAVE_AVFORMAT
	AVFormatContext *context = avformat_alloc_context();
	if (!context)
		return DurationUnknown;
	Deadline deadline{std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)};
	context->interrupt_callback.callback = interruptAtDeadline;
	context->interrupt_callback.opaque = &deadline;

	// Only the file itself: a playlist-like container (HLS, concat) must not make the probe reach
	// for the network or for other files.
	AVDictionary *options = nullptr;
	av_dict_set(&options, "protocol_whitelist", "file", 0);
	// The "file:" prefix keeps a name with a colon in it from being taken for a protocol.
	const QByteArray url = QByteArray("file:") + QFile::encodeName(localPath);
	const int opened = avformat_open_input(&context, url.constData(), nullptr, &options);
	av_dict_free(&options);
	if (opened < 0)
		return DurationUnknown; // avformat_open_input frees the context on failure

	qint64 duration = durationOf(context);
	// Some containers (raw streams, some MPEG files) have no duration in their header; the first
	// packets tell it, without decoding the whole file.
	if (duration == DurationUnknown && avformat_find_stream_info(context, nullptr) >= 0)
		duration = durationOf(context);
	avformat_close_input(&context);
	return duration;
#else
	(void)localPath;
	(void)timeoutMs;
	return DurationUnknown;
#endif
}

FileFigures probeFile(const QString &path)
{
	const QString localPath = localPathOf(path);
	if (localPath.isEmpty())
		return {SizeNotLocal, DurationUnknown};
	const QFileInfo info(localPath);
	if (!info.isFile())
		return {SizeMissing, DurationUnknown};
	return {info.size(), probeDurationMs(localPath, DurationTimeoutMs)};
}

struct FileProbe::Shared : std::enable_shared_from_this<FileProbe::Shared> {
	std::mutex mutex;
	std::condition_variable changed;
	std::deque<Job> queue;
	quint64 generation = 1;
	int workers = 0;
	int busy = 0;
	int maxWorkers = 2;
	bool stopped = false;
	// When each look under way began, and whether a thread watches for looks that never end.
	std::list<std::chrono::steady_clock::time_point> looks;
	bool supervised = false;
	// Only posted to under mutex and while not stopped; the owner sets stopped before the
	// receiver goes away.
	QObject *receiver = nullptr;
	Deliver deliver;

	void post(quint64 batchGeneration, QList<Result> batch)
	{
		// Called with mutex held.
		if (stopped || batchGeneration != generation || batch.isEmpty())
			return;
		Deliver call = deliver;
		QMetaObject::invokeMethod(
			receiver, [call, batchGeneration, batch = std::move(batch)]() { call(batchGeneration, batch); },
			Qt::QueuedConnection);
	}

	// Called with mutex held.
	void startWorkers()
	{
		if (stopped || queue.empty())
			return;
		const auto now = std::chrono::steady_clock::now();
		const int stuck = int(std::count_if(looks.cbegin(), looks.cend(),
						    [now](const auto &began) { return now - began >= StuckAfter; }));
		const int wanted = int(std::min<size_t>(size_t(maxWorkers), queue.size()));
		while (workers - stuck < wanted && stuck < MaxStuckLooks) {
			++workers;
			std::thread(&Shared::work, shared_from_this()).detach();
		}
		if (!supervised) {
			supervised = true;
			std::thread(&Shared::supervise, shared_from_this()).detach();
		}
	}

	static void supervise(std::shared_ptr<Shared> self)
	{
		std::unique_lock<std::mutex> lock(self->mutex);
		while (!self->stopped && !self->queue.empty()) {
			self->changed.wait_for(lock, SuperviseEvery);
			self->startWorkers();
		}
		self->supervised = false;
	}

	static void work(std::shared_ptr<Shared> self)
	{
		QList<Result> batch;
		quint64 batchGeneration = 0;
		QElapsedTimer batchAge;
		std::unique_lock<std::mutex> lock(self->mutex);
		for (;;) {
			if (self->stopped)
				break;
			if (self->queue.empty()) {
				// Dry: hand over what is left, and end this worker; the next enqueue starts one.
				self->post(batchGeneration, std::move(batch));
				batch.clear();
				break;
			}
			Job job = std::move(self->queue.front());
			self->queue.pop_front();
			const quint64 jobGeneration = self->generation;
			if (jobGeneration != batchGeneration) {
				batch.clear();
				batchGeneration = jobGeneration;
			}
			++self->busy;
			const auto look = self->looks.insert(self->looks.end(), std::chrono::steady_clock::now());
			lock.unlock();

			const FileFigures figures = runProbe(job.path);

			lock.lock();
			self->looks.erase(look);
			--self->busy;
			if (self->stopped)
				break;
			if (jobGeneration != self->generation)
				continue;
			if (batch.isEmpty())
				batchAge.start();
			batch.append(Result{std::move(job.targets), figures});
			if (batch.size() >= BatchSize || batchAge.elapsed() >= BatchAgeMs) {
				self->post(batchGeneration, std::move(batch));
				batch.clear();
			}
		}
		--self->workers;
		self->changed.notify_all();
	}
};

FileProbe::FileProbe(QObject *receiver, Deliver deliver, int maxWorkers) : shared(std::make_shared<Shared>())
{
	shared->receiver = receiver;
	shared->deliver = std::move(deliver);
	shared->maxWorkers = std::max(1, maxWorkers);
}

FileProbe::~FileProbe()
{
	shutdown(0);
}

quint64 FileProbe::generation() const
{
	std::lock_guard<std::mutex> lock(shared->mutex);
	return shared->generation;
}

void FileProbe::cancel()
{
	std::lock_guard<std::mutex> lock(shared->mutex);
	shared->queue.clear();
	++shared->generation;
}

void FileProbe::enqueue(QList<Job> jobs)
{
	if (jobs.isEmpty())
		return;
	std::lock_guard<std::mutex> lock(shared->mutex);
	if (shared->stopped)
		return;
	for (Job &job : jobs)
		shared->queue.push_back(std::move(job));
	shared->startWorkers();
}

bool FileProbe::shutdown(int waitMs)
{
	std::unique_lock<std::mutex> lock(shared->mutex);
	shared->stopped = true;
	shared->queue.clear();
	++shared->generation;
	shared->changed.notify_all();
	// A worker between two files sees the stop at once; one inside a file is waited for only
	// this long. The module's code stays loaded until the process ends (libobs does not close
	// module libraries), so a worker left behind returns into code that is still there.
	const bool done = shared->changed.wait_for(lock, std::chrono::milliseconds(waitMs),
						   [this]() { return shared->workers == 0; });
	shared->receiver = nullptr;
	return done;
}

bool FileProbe::idle() const
{
	std::lock_guard<std::mutex> lock(shared->mutex);
	return shared->queue.empty() && shared->workers == 0;
}

void FileProbe::setProbeFunction(ProbeFunction function)
{
	std::lock_guard<std::mutex> lock(probeFunctionMutex);
	probeFunction = std::move(function);
}
