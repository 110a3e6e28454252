// The dock settings file reader on arbitrary bytes in "settings.json". After each input the dock
// writes its settings back, and reading that file again must give the same settings.

#include "fuzz_support.hpp"
#include "test_access.hpp"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QTemporaryDir>

#include <cstdint>

namespace {

QTemporaryDir *folder = nullptr;
Tracklane *dock = nullptr;

QString settingsFile()
{
	return folder->filePath(QStringLiteral("config/settings.json"));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
	fuzzsupport::startHost(argc, argv);
	folder = new QTemporaryDir;
	dock = new Tracklane(settingsFile(), nullptr);
	TA::pollTimer(*dock).stop();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	testhost::clearLog();
	{
		QFile file(settingsFile());
		// The folder is made by the first save; until then the read finds no file at all.
		if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
			file.write(reinterpret_cast<const char *>(data), qint64(size));
	}

	dock->loadDockSettings();
	const QString uuid = TA::sourceUuid(*dock);
	const bool remaining = TA::showRemainingTime(*dock);
	const bool durations = TA::showDurations(*dock);

	dock->saveDockSettings();
	QFile saved(settingsFile());
	if (!saved.open(QIODevice::ReadOnly))
		fuzzsupport::fail(QStringLiteral("the settings file was not written"));
	QJsonParseError error;
	const QJsonDocument document = QJsonDocument::fromJson(saved.readAll(), &error);
	if (error.error != QJsonParseError::NoError || !document.isObject() || document.object().size() != 3)
		fuzzsupport::fail(QStringLiteral("the written settings are not an object of three members"));

	// Anything else in the fields, so that the reload has to put both back.
	TA::sourceUuid(*dock) = QStringLiteral("not-read");
	TA::showRemainingTime(*dock) = !remaining;
	TA::showDurations(*dock) = !durations;
	dock->loadDockSettings();
	if (TA::showDurations(*dock) != durations)
		fuzzsupport::fail(QStringLiteral("the duration column read back as %1, was %2")
					  .arg(TA::showDurations(*dock))
					  .arg(durations));
	if (TA::sourceUuid(*dock) != uuid || TA::showRemainingTime(*dock) != remaining)
		fuzzsupport::fail(QStringLiteral("settings read back as %1/%2, were %3/%4")
					  .arg(TA::sourceUuid(*dock))
					  .arg(TA::showRemainingTime(*dock))
					  .arg(uuid)
					  .arg(remaining));
	if (!TA::messageLabel(*dock)->text().isEmpty())
		fuzzsupport::fail(QStringLiteral("a save reported an error: ") + TA::messageLabel(*dock)->text());
	return 0;
}
