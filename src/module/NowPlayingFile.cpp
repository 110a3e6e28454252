#include "module/NowPlayingFile.hpp"

#include <QFile>
#include <QMetaObject>
#include <QObject>
#include <QSaveFile>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace tracklane {

// Shared by the writer and its thread, so that a thread left behind on a hung disk still finds
// it after the writer is gone.
struct LineFileWriter::Shared {
	std::mutex mutex;
	std::condition_variable changed;
	std::vector<std::pair<QString, QByteArray>> waiting;
	bool busy = false;
	bool closed = false;
	bool finished = false;
	QObject *context = nullptr; // read only under mutex while not closed
	Report report;
};

namespace {

QString replaceFile(const QString &path, const QByteArray &content, std::mutex &mutex, const bool &closed)
{
	{
		QFile current(path);
		if (current.size() == content.size() && current.open(QIODevice::ReadOnly) &&
		    current.readAll() == content)
			return QString();
	}
	// Without the fallback to writing in place, a folder where no temporary file can be made is an
	// error rather than a file a reader could catch half written.
	QSaveFile file(path);
	file.setDirectWriteFallback(false);
	if (!file.open(QIODevice::WriteOnly))
		return file.errorString();
	if (file.write(content) != content.size())
		return file.errorString();
	{
		std::lock_guard<std::mutex> lock(mutex);
		// Closed meanwhile: the temporary file goes with QSaveFile, the target stays as it was.
		if (closed)
			return QString();
	}
	if (!file.commit())
		return file.errorString();
	return QString();
}

} // namespace

LineFileWriter::LineFileWriter(QObject *context, Report report) : shared(std::make_shared<Shared>())
{
	shared->context = context;
	shared->report = std::move(report);
	std::thread([s = shared]() {
		std::unique_lock<std::mutex> lock(s->mutex);
		while (true) {
			s->changed.wait(lock, [&]() { return s->closed || !s->waiting.empty(); });
			if (s->closed)
				break;
			const std::pair<QString, QByteArray> next = std::move(s->waiting.front());
			s->waiting.erase(s->waiting.begin());
			s->busy = true;
			lock.unlock();
			const QString path = next.first;
			const QString error = replaceFile(path, next.second, s->mutex, s->closed);
			lock.lock();
			s->busy = false;
			if (!s->closed && s->context) {
				QMetaObject::invokeMethod(
					s->context, [report = s->report, path, error]() { report(path, error); },
					Qt::QueuedConnection);
			}
			s->changed.notify_all();
		}
		s->waiting.clear();
		s->finished = true;
		s->changed.notify_all();
	}).detach();
}

LineFileWriter::~LineFileWriter()
{
	close();
}

void LineFileWriter::write(const QString &path, const QByteArray &content)
{
	{
		std::lock_guard<std::mutex> lock(shared->mutex);
		if (shared->closed)
			return;
		bool replaced = false;
		for (auto &entry : shared->waiting) {
			if (entry.first == path) {
				entry.second = content;
				replaced = true;
			}
		}
		if (!replaced)
			shared->waiting.emplace_back(path, content);
	}
	shared->changed.notify_all();
}

void LineFileWriter::close(int waitMs)
{
	std::unique_lock<std::mutex> lock(shared->mutex);
	shared->closed = true;
	shared->context = nullptr;
	shared->changed.notify_all();
	shared->changed.wait_for(lock, std::chrono::milliseconds(waitMs), [&]() { return shared->finished; });
}

bool LineFileWriter::waitUntilIdle(int waitMs)
{
	std::unique_lock<std::mutex> lock(shared->mutex);
	return shared->changed.wait_for(lock, std::chrono::milliseconds(waitMs),
					[&]() { return shared->closed || (shared->waiting.empty() && !shared->busy); });
}

} // namespace tracklane
