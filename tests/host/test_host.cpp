#include "test_host.hpp"

#include "frontend.hpp"
#include "stand_in_source.hpp"

#include "module/plugin-main.hpp"

#include <obs.h>
#include <obs-module.h>
#include <util/base.h>
#include <util/bmem.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "thread_sanitizer.hpp"

#ifdef TRACKLANE_TSAN
#include <dlfcn.h>
#include <link.h>

#include <string>
#include <vector>
#endif

#ifndef TRACKLANE_DATA_DIR
#error "TRACKLANE_DATA_DIR must name the repository's data folder"
#endif
#ifndef TRACKLANE_TEST_BIN_DIR
#error "TRACKLANE_TEST_BIN_DIR must name the folder of the test binaries"
#endif

namespace testhost {

static QMutex logMutex;
static QStringList lines;
static QList<int> levels;

static void logHandler(int level, const char *format, va_list args, void *)
{
	char buffer[8192];
	vsnprintf(buffer, sizeof(buffer), format, args);
	{
		QMutexLocker lock(&logMutex);
		lines << QString::fromUtf8(buffer);
		levels << level;
	}
	if (level <= LOG_WARNING || qEnvironmentVariableIsSet("TRACKLANE_TEST_VERBOSE"))
		fprintf(stderr, "[libobs %d] %s\n", level, buffer);
}

QStringList logLines()
{
	QMutexLocker lock(&logMutex);
	return lines;
}

void clearLog()
{
	QMutexLocker lock(&logMutex);
	lines.clear();
	levels.clear();
}

QStringList logLinesAtLevel(int level)
{
	QMutexLocker lock(&logMutex);
	QStringList out;
	for (qsizetype i = 0; i < lines.size(); ++i)
		if (levels[i] == level)
			out << lines[i];
	return out;
}

QStringList logLinesContaining(const QString &text)
{
	return logLines().filter(text);
}

QString buildFile(const QString &name)
{
	return QDir(QStringLiteral(TRACKLANE_TEST_BIN_DIR)).filePath(name);
}

static obs_module_t *localeModule = nullptr;

#ifdef TRACKLANE_TSAN
// ThreadSanitizer ignores what Mesa's driver libraries do (called_from_lib in
// tests/sanitizers/tsan.supp), and it stops the process as soon as an ignored library is unloaded.
// obs_shutdown closes libobs's OpenGL module, and with it glvnd drops Mesa's EGL/GLX front ends,
// libgallium and LLVM. Marking every library that is loaded once graphics are up as never to be
// unloaded keeps them for the life of the process; it does not depend on Mesa's version-numbered
// file names, and it changes nothing the tests look at (libobs still unloads its modules, only the
// code stays mapped until exit).
static void keepLoadedLibrariesResident()
{
	std::vector<std::string> paths;
	dl_iterate_phdr(
		[](dl_phdr_info *info, size_t, void *data) {
			// The program itself has no name and the vDSO no path; neither can be unloaded.
			if (info->dlpi_name && strchr(info->dlpi_name, '/'))
				static_cast<std::vector<std::string> *>(data)->emplace_back(info->dlpi_name);
			return 0;
		},
		&paths);
	// dlopen is not allowed inside dl_iterate_phdr's callback (the loader lock is held there).
	for (const std::string &path : paths) {
		if (!dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE))
			fprintf(stderr, "could not keep %s loaded: %s\n", path.c_str(), dlerror());
	}
}
#endif

bool start(const char *moduleConfigPath, bool registerStandIn)
{
	base_set_log_handler(logHandler, nullptr);
	// Without a folder of its own, libobs resolves module config paths against the working
	// directory, and a test that loads the module would write into the build tree.
	static QTemporaryDir ownConfig;
	const QByteArray ownConfigPath = ownConfig.path().toUtf8();
	if (!moduleConfigPath) {
		if (!ownConfig.isValid()) {
			fprintf(stderr, "no temporary folder for the module config\n");
			return false;
		}
		moduleConfigPath = ownConfigPath.constData();
	}
	if (!obs_startup("en-US", moduleConfigPath, nullptr)) {
		fprintf(stderr, "obs_startup failed (is there an X display?)\n");
		return false;
	}

	obs_audio_info ai = {};
	ai.samples_per_sec = 48000;
	ai.speakers = SPEAKERS_STEREO;
	if (!obs_reset_audio(&ai)) {
		fprintf(stderr, "obs_reset_audio failed\n");
		return false;
	}

	obs_video_info vi = {};
	vi.graphics_module = "libobs-opengl";
	vi.fps_num = 60;
	vi.fps_den = 1;
	vi.base_width = vi.output_width = 320;
	vi.base_height = vi.output_height = 180;
	vi.output_format = VIDEO_FORMAT_NV12;
	vi.colorspace = VIDEO_CS_709;
	vi.range = VIDEO_RANGE_PARTIAL;
	vi.scale_type = OBS_SCALE_BILINEAR;
	vi.adapter = 0;
	vi.gpu_conversion = true;
	const int rc = obs_reset_video(&vi);
	if (rc != OBS_VIDEO_SUCCESS) {
		fprintf(stderr, "obs_reset_video failed: %d\n", rc);
		return false;
	}
#ifdef TRACKLANE_TSAN
	keepLoadedLibrariesResident();
#endif

	if (registerStandIn)
		standin::registerSourceType();

	// libobs finds a module's locale files through a module handle. A tiny module whose data
	// folder is the repository's gives the linked-in plug-in code its real locale table.
	const QString probe = buildFile(QStringLiteral("tracklane-locale-probe.so"));
	if (obs_open_module(&localeModule, probe.toUtf8().constData(), TRACKLANE_DATA_DIR) != MODULE_SUCCESS) {
		fprintf(stderr, "could not open %s\n", qPrintable(probe));
		return false;
	}
	obs_module_set_pointer(localeModule);
	obs_module_set_locale("en-US");
	return true;
}

bool loadRealVlcModule(QString *why)
{
	static const char binary[] = "/usr/lib/x86_64-linux-gnu/obs-plugins/vlc-video.so";
	static const char data[] = "/usr/share/obs/obs-plugins/vlc-video";
	if (!QFileInfo::exists(QString::fromUtf8(binary))) {
		*why = QStringLiteral("%1 is not installed").arg(QString::fromUtf8(binary));
		return false;
	}
	obs_module_t *module = nullptr;
	const int rc = obs_open_module(&module, binary, data);
	if (rc != MODULE_SUCCESS) {
		*why = QStringLiteral("obs_open_module failed with %1").arg(rc);
		return false;
	}
	// The module declines to load when libvlc cannot be found; libobs frees it at shutdown.
	if (!obs_init_module(module)) {
		*why = QStringLiteral("the VLC module declined to load (is libvlc installed?)");
		return false;
	}
	return true;
}

long stop()
{
	testfrontend::reset();
	obs_module_free_locale();
	obs_shutdown();
	return bnum_allocs();
}

// A task queued on the graphics thread that marks when it has run. The task owns a reference, so a
// wait that gave up does not leave it writing into freed memory.
struct TickMarker {
	std::mutex mutex;
	std::condition_variable cv;
	std::atomic<bool> done{false};
};

static std::shared_ptr<TickMarker> queueTickMarker(obs_task_type type = OBS_TASK_GRAPHICS)
{
	auto marker = std::make_shared<TickMarker>();
	obs_queue_task(
		type,
		[](void *param) {
			std::unique_ptr<std::shared_ptr<TickMarker>> owned(
				static_cast<std::shared_ptr<TickMarker> *>(param));
			TickMarker &m = **owned;
			{
				std::lock_guard<std::mutex> lock(m.mutex);
				m.done.store(true);
			}
			m.cv.notify_all();
		},
		new std::shared_ptr<TickMarker>(marker), false);
	return marker;
}

void waitForGraphicsTicks(int ticks)
{
	// obs_queue_task on the graphics thread runs after the current tick; chaining a few of them
	// makes sure queued media actions and deferred updates have been processed.
	for (int i = 0; i < ticks; ++i) {
		const std::shared_ptr<TickMarker> marker = queueTickMarker();
		(void)QTest::qWaitFor([&]() { return marker->done.load(); }, 2000);
	}
}

bool waitForGraphicsTicksWithoutEvents(int ticks)
{
	for (int i = 0; i < ticks; ++i) {
		const std::shared_ptr<TickMarker> marker = queueTickMarker();
		std::unique_lock<std::mutex> lock(marker->mutex);
		if (!marker->cv.wait_for(lock, std::chrono::seconds(2), [&]() { return marker->done.load(); }))
			return false;
	}
	return true;
}

bool waitForDestroyQueue()
{
	const std::shared_ptr<TickMarker> marker = queueTickMarker(OBS_TASK_DESTROY);
	std::unique_lock<std::mutex> lock(marker->mutex);
	return marker->cv.wait_for(lock, std::chrono::seconds(5), [&]() { return marker->done.load(); });
}

} // namespace testhost
