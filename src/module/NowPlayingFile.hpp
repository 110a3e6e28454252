#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

class QObject;

namespace tracklane {

// Writes the now-playing line into a text file on a thread of its own: a slow or network disk
// never holds up the UI thread, and with it a track switch or the status poll. Each write
// replaces the file whole (a temporary file beside it, renamed over it), so that a browser source
// or another program reading it sees the old line or the new one, never part of one. A file that
// already holds the line is left alone.
class LineFileWriter {
public:
	// Runs on the context object's thread with the file and, when it could not be written, why
	// (empty when the file holds the line now). Never called once the context object is gone, nor
	// after close().
	using Report = std::function<void(const QString &path, const QString &error)>;

	LineFileWriter(QObject *context, Report report);
	~LineFileWriter();
	LineFileWriter(const LineFileWriter &) = delete;
	LineFileWriter &operator=(const LineFileWriter &) = delete;

	// Returns at once. What waits for a file is replaced by newer content for the same file.
	void write(const QString &path, const QByteArray &content);

	// Nothing is written any more, and what waits is dropped. Waits at most waitMs for a write
	// that is under way; a disk that hangs longer is left to finish on its own.
	void close(int waitMs = 1000);

	// Waits at most waitMs until nothing waits and no write is under way; false on time-out.
	bool waitUntilIdle(int waitMs);

private:
	struct Shared;
	std::shared_ptr<Shared> shared;
};

} // namespace tracklane
