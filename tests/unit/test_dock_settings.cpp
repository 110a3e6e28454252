#include "test_host.hpp"
#include "test_access.hpp"
#include "source_test_support.hpp"
#include "module/plugin-main.hpp"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

using namespace sourcetest;

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
	QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
	QFile file(path);
	QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
	QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString &path)
{
	QFile file(path);
	return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

std::unique_ptr<Tracklane> makeDock(const QString &settingsPath)
{
	auto dock = std::make_unique<Tracklane>(settingsPath, nullptr);
	TA::pollTimer(*dock).stop();
	return dock;
}

} // namespace

class DockSettingsTest : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void reading_data()
	{
		QTest::addColumn<QByteArray>("content");
		QTest::addColumn<QString>("uuid");
		QTest::addColumn<bool>("remaining");

		QTest::newRow("both") << QByteArray("{\"remainingTime\":true,\"sourceUuid\":\"abc\"}")
				      << QStringLiteral("abc") << true;
		QTest::newRow("other order, spaces, extras")
			<< QByteArray("{ \"extra\": [1, 2],\n \"sourceUuid\": \"abc\", \"remainingTime\": true }\n")
			<< QStringLiteral("abc") << true;
		QTest::newRow("empty") << QByteArray() << QString() << false;
		QTest::newRow("truncated")
			<< QByteArray("{\"remainingTime\":true,\"sourceUuid\":\"ab") << QString() << false;
		QTest::newRow("array") << QByteArray("[{\"remainingTime\":true}]") << QString() << false;
		QTest::newRow("text true") << QByteArray("{\"remainingTime\":\"true\",\"sourceUuid\":\"abc\"}")
					   << QStringLiteral("abc") << false;
		QTest::newRow("number 1") << QByteArray("{\"remainingTime\":1}") << QString() << false;
		QTest::newRow("uuid not a string")
			<< QByteArray("{\"remainingTime\":false,\"sourceUuid\":12}") << QString() << false;
		QTest::newRow("binary") << QByteArray("\x00\xff\xfe{", 4) << QString() << false;
	}

	void reading()
	{
		QFETCH(QByteArray, content);
		QFETCH(QString, uuid);
		QFETCH(bool, remaining);

		QTemporaryDir dir;
		const QString path = dir.filePath(QStringLiteral("settings.json"));
		writeFile(path, content);
		auto dock = makeDock(path);
		QCOMPARE(TA::sourceUuid(*dock), uuid);
		QCOMPARE(TA::showRemainingTime(*dock), remaining);
		QVERIFY(TA::messageLabel(*dock)->isHidden());
		// Reading never rewrites the file.
		QCOMPARE(readFile(path), content);
	}

	void missingFileGivesDefaultsAndIsNotCreated()
	{
		QTemporaryDir dir;
		const QString path = dir.filePath(QStringLiteral("config/settings.json"));
		OwnedSources owned;
		owned.media("Media", {QStringLiteral("/m/one.mp3")});
		auto dock = makeDock(path);
		QCOMPARE(TA::sourceUuid(*dock), QString());
		QVERIFY(!TA::showRemainingTime(*dock));

		dock->onCollectionLoaded();
		dock->refreshSourceSelector();
		dock->resetBinding();
		dock->stopPolling();
		QVERIFY(!QFileInfo::exists(path));
		QVERIFY(!QFileInfo::exists(QFileInfo(path).absolutePath()));
	}

	void savingWritesExactlyTheThreeMembers()
	{
		QTemporaryDir dir;
		const QString path = dir.filePath(QStringLiteral("deep/er/config/settings.json"));
		auto dock = makeDock(path);
		TA::sourceUuid(*dock) = QStringLiteral("caf\u00e9-\"quoted\"");
		TA::showRemainingTime(*dock) = true;
		dock->setShowDurations(true);
		dock->saveDockSettings();
		const QByteArray expected(
			"{\"remainingTime\":true,\"sourceUuid\":\"caf\xc3\xa9-\\\"quoted\\\"\",\"trackDurations\":true}");
		QCOMPARE(readFile(path), expected);
		dock->saveDockSettings();
		QCOMPARE(readFile(path), expected);
		QVERIFY(TA::messageLabel(*dock)->isHidden());

		// Written back, read back.
		auto again = makeDock(path);
		QCOMPARE(TA::sourceUuid(*again), QStringLiteral("caf\u00e9-\"quoted\""));
		QVERIFY(TA::showRemainingTime(*again));
		QVERIFY(TA::showDurations(*again));
		QVERIFY(TA::showDurationsAction(*again)->isChecked());
		// No temporary file is left beside the target.
		QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files | QDir::Hidden),
			 QStringList{QStringLiteral("settings.json")});
	}

	void extraMembersAreGoneAfterTheNextSave()
	{
		QTemporaryDir dir;
		const QString path = dir.filePath(QStringLiteral("settings.json"));
		writeFile(path, "{\"sourceUuid\":\"abc\",\"remainingTime\":true,\"legacy\":{\"x\":1}}");
		auto dock = makeDock(path);
		dock->saveDockSettings();
		QCOMPARE(readFile(path), QByteArray("{\"remainingTime\":true,\"sourceUuid\":\"abc\",\"trackDurations\":false}"));
	}

	void corruptFileIsReplacedByTheNextSave()
	{
		QTemporaryDir dir;
		const QString path = dir.filePath(QStringLiteral("settings.json"));
		writeFile(path, "{\"remainingTime\":tr");
		auto dock = makeDock(path);
		TA::sourceUuid(*dock) = QStringLiteral("xyz");
		dock->saveDockSettings();
		QCOMPARE(readFile(path), QByteArray("{\"remainingTime\":false,\"sourceUuid\":\"xyz\",\"trackDurations\":false}"));
	}

	void folderThatCannotBeCreatedIsReported()
	{
		QTemporaryDir dir;
		// The would-be parent folder is a regular file.
		const QString blocker = dir.filePath(QStringLiteral("config"));
		writeFile(blocker, "not a folder");
		const QString path = blocker + QStringLiteral("/sub/settings.json");
		auto dock = makeDock(path);
		dock->onCollectionLoaded();
		testhost::clearLog();

		TA::sourceUuid(*dock) = QStringLiteral("kept");
		dock->saveDockSettings();

		QVERIFY(!TA::messageLabel(*dock)->isHidden());
		QVERIFY(TA::messageLabel(*dock)->text().endsWith(moduleQString("CreateSettingsError")));
		QCOMPARE(testhost::logLinesContaining(QStringLiteral("[OBS-Tracklane] ") +
						      moduleQString("CreateSettingsError"))
				 .size(),
			 1);
		QCOMPARE(TA::sourceUuid(*dock), QStringLiteral("kept"));
		QCOMPARE(readFile(blocker), QByteArray("not a folder"));
	}

	void fileThatCannotBeWrittenIsReportedAndKept()
	{
		QTemporaryDir dir;
		// A folder stands where the file should be: opening it for writing fails.
		const QString path = dir.filePath(QStringLiteral("settings.json"));
		QVERIFY(QDir().mkpath(path));
		auto dock = makeDock(path);
		QCOMPARE(TA::sourceUuid(*dock), QString());
		testhost::clearLog();

		dock->saveDockSettings();
		const QString prefix = moduleQString("SaveSettingsError").section(QStringLiteral("%1"), 0, 0);
		QVERIFY(!prefix.isEmpty());
		QVERIFY(!TA::messageLabel(*dock)->isHidden());
		QVERIFY(TA::messageLabel(*dock)->text().contains(prefix));
		// The error string fills the placeholder.
		QVERIFY(!TA::messageLabel(*dock)->text().contains(QStringLiteral("%1")));
		QVERIFY(TA::messageLabel(*dock)->text().size() > prefix.size() + 3);
		QCOMPARE(testhost::logLinesContaining(QStringLiteral("[OBS-Tracklane] ") + prefix).size(), 1);
		QVERIFY(QFileInfo(path).isDir());
	}

	void emptyPathNeitherReadsNorWrites()
	{
		QTemporaryDir dir;
		const QString cwd = QDir::currentPath();
		QVERIFY(QDir::setCurrent(dir.path()));
		auto dock = makeDock(QString());
		TA::sourceUuid(*dock) = QStringLiteral("abc");
		dock->saveDockSettings();
		QVERIFY(TA::messageLabel(*dock)->isHidden());
		QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
			 QStringList());
		QVERIFY(QDir::setCurrent(cwd));
	}

	void rememberedSourceIsBoundOnceTheCollectionLoads()
	{
		OwnedSources owned;
		owned.media("First", {QStringLiteral("/m/a.mp3")});
		obs_source_t *second = owned.media("Second", {QStringLiteral("/m/b.mp3")});
		QTemporaryDir dir;
		const QString path = dir.filePath(QStringLiteral("settings.json"));
		writeFile(path, "{\"remainingTime\":false,\"sourceUuid\":\"" + uuidOf(second).toUtf8() + "\"}");
		auto dock = makeDock(path);
		QCOMPARE(boundUuid(*dock), QString());
		dock->onCollectionLoaded();
		QCOMPARE(boundUuid(*dock), uuidOf(second));
		QCOMPARE(TA::sourceSelector(*dock)->currentText(), QStringLiteral("Second"));
	}

	// Found by the soak test: the time display, clicked after the host's exit event, wrote the
	// file while OBS was shutting down.
	void nothingIsWrittenAfterExit()
	{
		QTemporaryDir dir;
		const QString path = dir.filePath(QStringLiteral("config/settings.json"));
		writeFile(path, QByteArrayLiteral("{\"sourceUuid\":\"kept\",\"remainingTime\":false}"));
		auto dock = makeDock(path);
		dock->stopPolling();

		dock->toggleTimeDisplay();
		dock->saveDockSettings();
		QCOMPARE(readFile(path), QByteArrayLiteral("{\"sourceUuid\":\"kept\",\"remainingTime\":false}"));

		// Before exit the same click is saved at once.
		auto live = makeDock(path);
		live->toggleTimeDisplay();
		QCOMPARE(readFile(path),
			 QByteArrayLiteral("{\"remainingTime\":true,\"sourceUuid\":\"kept\",\"trackDurations\":false}"));
	}
};

TRACKLANE_TEST_MAIN(DockSettingsTest)
#include "test_dock_settings.moc"
