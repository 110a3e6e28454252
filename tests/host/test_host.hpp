#pragma once

// Runs the real libobs inside a test process: started with audio and video (libobs-opengl under
// Xvfb) so that its graphics thread runs, the stand-in "vlc_source" registered, and the module's
// locale table loaded from the repository's data folder.

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace testhost {

// Starts libobs; returns false (and says why on stderr) when it cannot. Without the stand-in, no
// "vlc_source" type is registered, so that a process can load the host's real one instead.
bool start(const char *moduleConfigPath = nullptr, bool registerStandIn = true);

// Opens and initialises the host's own VLC media source module (the real "vlc_source"). Only
// for a process started without the stand-in. Returns false and says why in *why when it cannot.
bool loadRealVlcModule(QString *why);

// Releases what the test host holds, shuts libobs down and returns the number of libobs
// allocations still alive afterwards (0 when every reference was released).
long stop();

// Log lines written through blog since the last clearLog(), without the level.
QStringList logLines();
void clearLog();
// Lines logged at one level (LOG_ERROR, LOG_WARNING, LOG_INFO, LOG_DEBUG).
QStringList logLinesAtLevel(int level);
// Lines that contain text.
QStringList logLinesContaining(const QString &text);

// Waits (processing Qt events) until two graphics ticks have run, so that queued media actions
// and deferred updates have been carried out.
void waitForGraphicsTicks(int ticks = 2);

// The same without running the UI thread's event loop, so that what the graphics thread posts to
// the UI thread meanwhile is still queued afterwards. False when a tick did not come within 2 s.
bool waitForGraphicsTicksWithoutEvents(int ticks = 2);

// Waits until what libobs's destruction thread had queued has run (sources released for the last
// time are freed there). False when it did not within 5 s.
bool waitForDestroyQueue();

// Absolute path of a file the build puts beside the tests (the gate-test modules, for instance).
QString buildFile(const QString &name);

} // namespace testhost

// A main() for a QtTest class that needs libobs: QApplication, libobs start, the test, libobs
// shutdown, and a failure when libobs reports allocations still alive after shutdown.
#define TRACKLANE_TEST_MAIN(TestClass) TRACKLANE_TEST_MAIN_STARTED_BY(TestClass, testhost::start())

// The same main() for a process that drives the host's real "vlc_source" instead of the stand-in.
#define TRACKLANE_TEST_MAIN_REAL_VLC(TestClass) \
	TRACKLANE_TEST_MAIN_STARTED_BY(TestClass, testhost::start(nullptr, false))

#define TRACKLANE_TEST_MAIN_STARTED_BY(TestClass, startCall)                        \
	int main(int argc, char **argv)                                             \
	{                                                                           \
		QApplication app(argc, argv);                                       \
		if (!(startCall))                                                   \
			return 2;                                                   \
		int rc;                                                             \
		{                                                                   \
			TestClass test;                                             \
			rc = QTest::qExec(&test, argc, argv);                       \
		}                                                                   \
		const long leaks = testhost::stop();                                \
		if (leaks != 0) {                                                   \
			fprintf(stderr, "libobs: %ld allocations leaked\n", leaks); \
			return rc ? rc : 3;                                         \
		}                                                                   \
		return rc;                                                          \
	}
