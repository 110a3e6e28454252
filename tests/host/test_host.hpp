#pragma once

// Runs the real libobs inside a test process: started with audio and video (libobs-opengl under
// Xvfb) so that its graphics thread runs, the stand-in "vlc_source" registered, and the module's
// locale table loaded from the repository's data folder.

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace testhost {

// Starts libobs; returns false (and says why on stderr) when it cannot.
bool start(const char *moduleConfigPath = nullptr);

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

// Absolute path of a file the build puts beside the tests (the gate-test modules, for instance).
QString buildFile(const QString &name);

} // namespace testhost

// A main() for a QtTest class that needs libobs: QApplication, libobs start, the test, libobs
// shutdown, and a failure when libobs reports allocations still alive after shutdown.
#define TRACKLANE_TEST_MAIN(TestClass)                                       \
	int main(int argc, char **argv)                                      \
	{                                                                    \
		QApplication app(argc, argv);                                \
		if (!testhost::start())                                      \
			return 2;                                            \
		int rc;                                                      \
		{                                                            \
			TestClass test;                                      \
			rc = QTest::qExec(&test, argc, argv);                \
		}                                                            \
		const long leaks = testhost::stop();                         \
		if (leaks != 0) {                                            \
			fprintf(stderr, "libobs: %ld allocations leaked\n", leaks); \
			return rc ? rc : 3;                                  \
		}                                                            \
		return rc;                                                   \
	}
