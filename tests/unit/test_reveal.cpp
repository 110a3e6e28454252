// Showing a track's file in the desktop's file manager over a private session bus, and the
// folder fallback of "open folder" when no file manager answers. This process gets a bus of its
// own: the dock asks the session bus, and Qt keeps the first session bus it connects to.

#include "test_host.hpp"
#include "test_access.hpp"
#include "stand_in_source.hpp"
#include "source_test_support.hpp"
#include "module/plugin-main.hpp"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QMutex>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <sys/types.h>

// Stands in for a file manager: records every ShowItems call. It lives on a thread of its own so
// that it can answer while the dock's blocking call holds the main thread.
class FakeFileManager : public QObject {
	Q_OBJECT
	Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
	QList<QStringList> takeCalls()
	{
		QMutexLocker lock(&mutex);
		return std::exchange(calls, {});
	}

public Q_SLOTS:
	void ShowItems(const QStringList &uris, const QString &startupId)
	{
		Q_UNUSED(startupId)
		QMutexLocker lock(&mutex);
		calls << uris;
	}

private:
	QMutex mutex;
	QList<QStringList> calls;
};

// Receives what QDesktopServices::openUrl would hand to the desktop for file URLs.
class UrlRecorder : public QObject {
	Q_OBJECT

public:
	QList<QUrl> opened;

public Q_SLOTS:
	void open(const QUrl &url) { opened << url; }
};

// Qt keeps the first session bus connection it makes, and QApplication makes it before any test
// runs; so the private bus is started, and announced in the environment, before main().
struct PrivateSessionBus {
	QTemporaryDir dir;
	qint64 pid = 0;
	QString address;
	QString failure;

	PrivateSessionBus()
	{
		if (!dir.isValid()) {
			failure = QStringLiteral("no temporary folder");
			return;
		}
		// Only the services the test provides exist on this bus.
		QDir(dir.path()).mkpath(QStringLiteral("services"));
		const QString config = dir.filePath(QStringLiteral("bus.conf"));
		QFile conf(config);
		if (!conf.open(QIODevice::WriteOnly)) {
			failure = conf.errorString();
			return;
		}
		conf.write(QStringLiteral(
				   "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
				   "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
				   "<busconfig><type>session</type><listen>unix:dir=%1</listen>"
				   "<servicedir>%2</servicedir>"
				   "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
				   "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")
				   .arg(dir.path(), dir.filePath(QStringLiteral("services")))
				   .toUtf8());
		conf.close();

		// The daemon prints its address once it accepts connections.
		const QString addressFile = dir.filePath(QStringLiteral("address"));
		QProcess daemon;
		daemon.setProgram(QStringLiteral("dbus-daemon"));
		daemon.setArguments({QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
				     QStringLiteral("--print-address")});
		daemon.setStandardOutputFile(addressFile);
		daemon.setStandardErrorFile(QProcess::nullDevice());
		if (!daemon.startDetached(&pid)) {
			failure = QStringLiteral("dbus-daemon did not start: ") + daemon.errorString();
			return;
		}
		for (int tries = 0; tries < 200 && address.isEmpty(); ++tries) {
			QFile file(addressFile);
			if (file.open(QIODevice::ReadOnly) && file.readAll().contains('\n')) {
				file.seek(0);
				address = QString::fromUtf8(file.readLine()).trimmed();
			} else {
				QThread::msleep(50);
			}
		}
		if (address.isEmpty()) {
			failure = QStringLiteral("dbus-daemon printed no address");
			return;
		}
		qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
	}
	~PrivateSessionBus() { stop(); }

	void stop()
	{
		if (pid > 0)
			::kill(pid_t(pid), SIGTERM);
		pid = 0;
	}
};

PrivateSessionBus privateBus;

class RevealTest : public QObject {
	Q_OBJECT

	const QString service = QStringLiteral("org.freedesktop.FileManager1");
	QTemporaryDir dir;
	QThread fileManagerThread;
	FakeFileManager *fileManager = nullptr;
	QString present;
	QString missing;
	QString vanished;
	UrlRecorder urls;

	QString makeFile(const QString &path)
	{
		QFile f(path);
		if (!f.open(QIODevice::WriteOnly))
			qFatal("cannot write %s", qPrintable(path));
		f.write(QByteArray(100, 'x'));
		return path;
	}

	const QString serviceBusName = QStringLiteral("tracklane-test-file-manager");
	QDBusConnection serviceBus() { return QDBusConnection(serviceBusName); }

	struct Message {
		QString text;
		bool shown;
	};

	// A bound dock whose list holds the three tracks, with the given one current and alone
	// selected, and an earlier problem on its message line; then "open folder".
	Message openFolderOf(const QString &path)
	{
		sourcetest::OwnedSources sources;
		sourcetest::Dock dock;
		obs_source_t *source = sources.media("media", {present, missing, vanished});
		dock->bindSource(sourcetest::uuidOf(source));
		QListWidget *list = TA::trackList(*dock);
		const int row = sourcetest::trackPaths(*dock).indexOf(path);
		if (row < 0)
			qFatal("track %s not in the list", qPrintable(path));
		list->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
		dock->showMessage(QStringLiteral("earlier problem"));
		dock->openTrackFolder();
		const Message shown{TA::messageLabel(*dock)->text(), !TA::messageLabel(*dock)->isHidden()};
		dock.dock.reset();
		testhost::waitForGraphicsTicks(1);
		return shown;
	}

private Q_SLOTS:
	void initTestCase()
	{
		QVERIFY2(!privateBus.address.isEmpty(), qPrintable(privateBus.failure));
		QDBusConnection session = QDBusConnection::sessionBus();
		QVERIFY2(session.isConnected(), qPrintable(session.lastError().message()));
		QVERIFY(!session.interface()->activatableServiceNames().value().contains(service));
		const QString address = privateBus.address;

		QDBusConnection bus = QDBusConnection::connectToBus(address, serviceBusName);
		QVERIFY(bus.isConnected());
		fileManager = new FakeFileManager;
		QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), fileManager,
					   QDBusConnection::ExportAllSlots));
		fileManager->moveToThread(&fileManagerThread);
		connect(&fileManagerThread, &QThread::finished, fileManager, &QObject::deleteLater);
		fileManagerThread.start();
		QVERIFY(bus.registerService(service));
		// The dock's connection must see the name as owned through the daemon, not by itself.
		QVERIFY(session.interface()->isServiceRegistered(service).value());
		QVERIFY(session.baseService() != bus.baseService());

		QVERIFY(dir.isValid());
		QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("songs")));
		present = makeFile(dir.filePath(QStringLiteral("songs/a track \u00e9 #1.wav")));
		missing = dir.filePath(QStringLiteral("songs/deleted.wav"));
		vanished = dir.filePath(QStringLiteral("gone/away.wav"));

		QDesktopServices::setUrlHandler(QStringLiteral("file"), &urls, "open");
	}

	void cleanupTestCase()
	{
		QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
		if (fileManagerThread.isRunning()) {
			serviceBus().unregisterObject(QStringLiteral("/org/freedesktop/FileManager1"));
			fileManagerThread.quit();
			fileManagerThread.wait(10000);
		}
		QDBusConnection::disconnectFromBus(serviceBusName);
		privateBus.stop();
	}

	void revealAsksTheFileManagerOverTheBus()
	{
		QVERIFY(revealInFileManager(present));
		const QList<QStringList> calls = fileManager->takeCalls();
		QCOMPARE(calls.size(), 1);
		// A URI, percent-encoded, as file managers expect it.
		QCOMPARE(calls[0], QStringList{QString::fromUtf8(QUrl::fromLocalFile(present).toEncoded())});
		QCOMPARE(QUrl(calls[0][0]).toLocalFile(), present);

		// "Open folder" on a file that is there reveals it and opens nothing else.
		Message message = openFolderOf(present);
		QCOMPARE(fileManager->takeCalls(), QList<QStringList>{calls[0]});
		QVERIFY(urls.opened.isEmpty());
		QVERIFY(!message.shown && message.text.isEmpty());

		// A deleted file is not revealed; its folder opens.
		message = openFolderOf(missing);
		QVERIFY(fileManager->takeCalls().isEmpty());
		QCOMPARE(urls.opened, QList<QUrl>{QUrl::fromLocalFile(QFileInfo(missing).absolutePath())});
		QVERIFY(message.text.isEmpty());
		urls.opened.clear();
	}

	void withoutAFileManagerTheFolderOpens()
	{
		QVERIFY(serviceBus().unregisterService(service));
		QVERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(service).value());

		QVERIFY(!revealInFileManager(present));
		Message message = openFolderOf(present);
		QCOMPARE(urls.opened, QList<QUrl>{QUrl::fromLocalFile(QFileInfo(present).absolutePath())});
		QVERIFY(message.text.isEmpty());
		urls.opened.clear();

		// A name the bus could start but whose program fails is no success either.
		QFile file(privateBus.dir.filePath(QStringLiteral("services/org.freedesktop.FileManager1.service")));
		QVERIFY(file.open(QIODevice::WriteOnly));
		file.write("[D-BUS Service]\nName=org.freedesktop.FileManager1\nExec=/bin/false\n");
		file.close();
		const QDBusMessage reload = QDBusConnection::sessionBus().call(
			QDBusMessage::createMethodCall(
				QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
				QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ReloadConfig")),
			QDBus::Block, 10000);
		QCOMPARE(reload.type(), QDBusMessage::ReplyMessage);
		QVERIFY(QDBusConnection::sessionBus().interface()->activatableServiceNames().value().contains(service));
		QVERIFY(!revealInFileManager(present));
		QVERIFY(fileManager->takeCalls().isEmpty());

		// With the folder gone too, the operator is told which folder.
		message = openFolderOf(vanished);
		QVERIFY(urls.opened.isEmpty());
		QVERIFY(message.shown);
		QVERIFY(message.text.endsWith(
			moduleQString("OpenFolderError").arg(QFileInfo(vanished).absolutePath())));
	}
};

TRACKLANE_TEST_MAIN(RevealTest)
#include "test_reveal.moc"
