#pragma once

// Shared by the fuzz targets: one QApplication and one libobs for the whole process, and a
// failure that libFuzzer records as a finding.

#include "test_host.hpp"

#include <obs.h>

#include <QApplication>
#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>

namespace fuzzsupport {

// Starts Qt and libobs once. libFuzzer ends the process with exit(): libobs's threads are
// stopped first, so that none of them runs on while the process's static objects are destroyed.
inline void startHost(int *argc, char ***argv)
{
	static QApplication *app = new QApplication(*argc, *argv);
	(void)app;
	if (!testhost::start()) {
		fprintf(stderr, "the test host did not start\n");
		abort();
	}
	atexit([]() { obs_shutdown(); });
}

// An invariant that does not hold: say which and let libFuzzer keep the input.
[[noreturn]] inline void fail(const QString &what)
{
	fprintf(stderr, "invariant broken: %s\n", qPrintable(what));
	abort();
}

inline void check(const QString &mismatch)
{
	if (!mismatch.isEmpty())
		fail(mismatch);
}

} // namespace fuzzsupport
