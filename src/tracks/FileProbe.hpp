#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// What a look at one track's file found: its size (or one of the size sentinels of TrackEntry)
// and its duration (or one of the duration sentinels).
struct FileFigures {
	qint64 sizeBytes;
	qint64 durationMs;
};

// Looks at one path on disk: size, then duration through libavformat. May block for as long as
// the file system does; never called on the UI thread.
FileFigures probeFile(const QString &path);

// The media duration of a local file, or DurationUnknown. Reads the container's header (and the
// first packets only when the header has no duration); a file that keeps libavformat reading
// longer than timeoutMs is given up.
qint64 probeDurationMs(const QString &localPath, int timeoutMs);

// Looks at files on worker threads of its own and hands what it found to the UI thread, in
// batches, through a receiver object. Every batch carries the generation it was asked for in;
// cancel() starts a new generation, and the receiver drops batches of older ones.
//
// The workers are plain detached threads: a look stuck on a dead network mount can neither hold
// up the UI thread nor the module's exit. shutdown() waits a bounded time for them and then leaves
// any that are still stuck; they finish on their own later and deliver nothing.
class FileProbe {
public:
	struct Target {
		QString trackId;
		// Where the track was when it was asked for; only a hint, checked against the id.
		int rowHint;
	};
	struct Job {
		QString path;
		QList<Target> targets;
	};
	struct Result {
		QList<Target> targets;
		FileFigures figures;
	};
	using Deliver = std::function<void(quint64 generation, const QList<Result> &results)>;
	using ProbeFunction = std::function<FileFigures(const QString &path)>;

	// deliver runs on receiver's thread. At most maxWorkers threads look at files at once, not
	// counting looks that have been stuck inside a file far past the duration timeout.
	FileProbe(QObject *receiver, Deliver deliver, int maxWorkers = 2);
	~FileProbe();

	FileProbe(const FileProbe &) = delete;
	FileProbe &operator=(const FileProbe &) = delete;

	quint64 generation() const;
	// Drops every look not yet begun; what a look under way finds is not delivered.
	void cancel();
	void enqueue(QList<Job> jobs);
	// Stops for good, waiting at most waitMs for looks under way. Returns whether every worker
	// had finished by then.
	bool shutdown(int waitMs);
	// No look queued or under way, and nothing found left undelivered.
	bool idle() const;

	// What every worker calls for a path (probeFile unless replaced, for tests).
	static void setProbeFunction(ProbeFunction function);

private:
	struct Shared;
	std::shared_ptr<Shared> shared;
};
