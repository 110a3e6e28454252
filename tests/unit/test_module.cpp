// The module shell against the real libobs and our stand-in for the OBS application: the version
// gates of modules built for other targets, dock registration and refusal, the frontend event
// sequence, unloading with and without exit, and the locale files.

#include "test_host.hpp"
#include "test_access.hpp"
#include "frontend.hpp"
#include "module/plugin-main.hpp"

#include <obs-frontend-api.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLibrary>
#include <QMap>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>

static QTemporaryDir *configHome = nullptr;

static Tracklane *loadedDock()
{
	return tracklane::currentDock.data();
}

static bool widgetAlive(const QString &objectName)
{
	const QWidgetList widgets = QApplication::allWidgets();
	for (QWidget *w : widgets)
		if (w->objectName() == objectName)
			return true;
	return false;
}

// One locale file as written, and what is wrong with its form.
struct LocaleFile {
	QMap<QString, QString> texts;
	QStringList faults;
};

static LocaleFile readLocaleFile(const QString &path)
{
	LocaleFile out;
	QFile file(path);
	if (!file.open(QIODevice::ReadOnly)) {
		out.faults << QStringLiteral("cannot be read");
		return out;
	}
	QStringDecoder utf8(QStringDecoder::Utf8);
	const QString content = utf8(file.readAll());
	if (utf8.hasError())
		out.faults << QStringLiteral("not UTF-8");
	// Blank lines, comments and KEY="text"; no quote inside a text, and \n is the only escape.
	static const QRegularExpression entry(QStringLiteral("^([A-Za-z][A-Za-z0-9]*)=\"((?:[^\"\\\\]|\\\\n)*)\"$"));
	const QStringList lines = content.split(QLatin1Char('\n'));
	for (qsizetype i = 0; i < lines.size(); ++i) {
		const QString &line = lines[i];
		if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
			continue;
		const QRegularExpressionMatch m = entry.match(line);
		if (!m.hasMatch())
			out.faults << QStringLiteral("line %1 is not KEY=\"text\"").arg(i + 1);
		else if (out.texts.contains(m.captured(1)))
			out.faults << QStringLiteral("%1 twice").arg(m.captured(1));
		else
			out.texts.insert(m.captured(1), m.captured(2));
	}
	return out;
}

static QStringList placeholders(const QString &text)
{
	static const QRegularExpression placeholder(QStringLiteral("%[0-9]+"));
	QStringList found;
	for (const QRegularExpressionMatch &m : placeholder.globalMatch(text))
		found << m.captured();
	found.sort();
	found.removeDuplicates();
	return found;
}

// The module's hotkeys as libobs lists them: name and description.
static QStringList moduleHotkeys()
{
	QStringList out;
	obs_enum_hotkeys(
		[](void *data, obs_hotkey_id, obs_hotkey_t *key) {
			const QString name = QString::fromUtf8(obs_hotkey_get_name(key));
			if (name.startsWith(QStringLiteral("OBS-Tracklane.")))
				static_cast<QStringList *>(data)->append(
					name + QLatin1Char('=') + QString::fromUtf8(obs_hotkey_get_description(key)));
			return true;
		},
		&out);
	return out;
}

class ModuleTest : public QObject {
	Q_OBJECT

private:
	// Loads a module built for another target and runs its obs_module_load.
	static bool loadGateModule(const QString &file)
	{
		QLibrary library(testhost::buildFile(file));
		library.setLoadHints(QLibrary::ResolveAllSymbolsHint);
		if (!library.load())
			qFatal("cannot load %s: %s", qPrintable(file), qPrintable(library.errorString()));
		auto load = reinterpret_cast<bool (*)()>(library.resolve("obs_module_load"));
		auto ver = reinterpret_cast<uint32_t (*)()>(library.resolve("obs_module_ver"));
		if (!load || !ver)
			qFatal("%s lacks the module exports", qPrintable(file));
		const bool loaded = load();
		// Nothing was created, so the library can go again.
		library.unload();
		return loaded;
	}

private Q_SLOTS:
	void init()
	{
		testfrontend::reset();
		testhost::clearLog();
	}

	void cleanup()
	{
		if (loadedDock() || !testfrontend::state().callbacks.empty())
			obs_module_unload();
	}

	void moduleReportsItsTarget()
	{
		QCOMPARE(obs_module_ver(), obs_get_version());
		QCOMPARE(QString::fromUtf8(obs_module_name()), QStringLiteral("OBS-Tracklane"));
		QVERIFY(!QString::fromUtf8(obs_module_description()).isEmpty());
		QVERIFY(QString::fromUtf8(obs_module_description()) != QStringLiteral("PluginDescription"));
	}

	void obsGateRefusesOtherVersion()
	{
		QVERIFY(!loadGateModule(QStringLiteral("tracklane-gate-obs.so")));
		QCOMPARE(testhost::logLinesAtLevel(LOG_ERROR),
			 QStringList{QStringLiteral("[OBS-Tracklane] This build requires OBS 32.0.4.")});
		QVERIFY(testfrontend::state().docks.empty());
		QVERIFY(testfrontend::state().callbacks.empty());
		QVERIFY(!widgetAlive(QStringLiteral("OBS-Tracklane-content")));
	}

	void qtGateRefusesOtherRuntime()
	{
		QVERIFY(!loadGateModule(QStringLiteral("tracklane-gate-qt.so")));
		QCOMPARE(testhost::logLinesAtLevel(LOG_ERROR),
			 QStringList{QStringLiteral("[OBS-Tracklane] This build requires Qt 6.8.3; runtime is %1.")
					     .arg(QString::fromLatin1(qVersion()))});
		QVERIFY(testfrontend::state().docks.empty());
		QVERIFY(!widgetAlive(QStringLiteral("OBS-Tracklane-content")));
	}

	void loadRegistersDockAndLogsOnce()
	{
		QVERIFY(obs_module_load());
		// No obs-websocket in this process: the remote control stays off without a word.
		obs_module_post_load();
		const auto &docks = testfrontend::state().docks;
		QCOMPARE(int(docks.size()), 1);
		QCOMPARE(docks[0].id, QStringLiteral("OBS-Tracklane"));
		QCOMPARE(docks[0].title, QStringLiteral("OBS-Tracklane"));
		QVERIFY(docks[0].widget);
		QCOMPARE(docks[0].widget->objectName(), QStringLiteral("OBS-Tracklane-content"));
		QCOMPARE(docks[0].widget.data(), static_cast<QWidget *>(loadedDock()));
		QCOMPARE(int(testfrontend::state().callbacks.size()), 1);
		QCOMPARE(testhost::logLinesAtLevel(LOG_INFO).filter(QStringLiteral("[OBS-Tracklane]")),
			 QStringList{QStringLiteral("[OBS-Tracklane] 1.2.0 loaded; Qt %1; dock registered.")
					     .arg(QString::fromLatin1(qVersion()))});
		QVERIFY(testhost::logLinesAtLevel(LOG_ERROR).isEmpty());
		QVERIFY(testhost::logLinesAtLevel(LOG_WARNING).isEmpty());
		QVERIFY(testhost::logLinesAtLevel(LOG_DEBUG).filter(QStringLiteral("obs-websocket")).isEmpty());

		QCOMPARE(moduleHotkeys(),
			 QStringList({QStringLiteral("OBS-Tracklane.PlayPause=OBS-Tracklane: Play/Pause"),
				      QStringLiteral("OBS-Tracklane.Stop=OBS-Tracklane: Stop"),
				      QStringLiteral("OBS-Tracklane.Previous=OBS-Tracklane: Previous track"),
				      QStringLiteral("OBS-Tracklane.Next=OBS-Tracklane: Next track"),
				      QStringLiteral("OBS-Tracklane.PlaySelected=OBS-Tracklane: Play selected track"),
				      QStringLiteral("OBS-Tracklane.RestorePlaylist="
						     "OBS-Tracklane: Hand the list back to the source")}));
		QCOMPARE(int(testfrontend::state().saveCallbacks.size()), 1);
	}

	// A collection's hotkey bindings are its own. Leaving a collection, OBS saves it, bindings and
	// all, and only then clears it; it hands the module a collection's bindings only when it loads
	// one from a file, which a new collection does not have.
	void newCollectionStartsWithoutTheBindingsOfTheLastOne()
	{
		QVERIFY(obs_module_load());
		const auto playPauseKeys = [](obs_data_t *modules) {
			QStringList keys;
			obs_data_t *own = obs_data_get_obj(modules, "OBS-Tracklane");
			obs_data_t *bindings = own ? obs_data_get_obj(own, "hotkeys") : nullptr;
			obs_data_array_t *array = bindings ? obs_data_get_array(bindings, "OBS-Tracklane.PlayPause")
							   : nullptr;
			for (size_t i = 0; i < obs_data_array_count(array); ++i) {
				obs_data_t *binding = obs_data_array_item(array, i);
				keys << QString::fromUtf8(obs_data_get_string(binding, "key"));
				obs_data_release(binding);
			}
			obs_data_array_release(array);
			obs_data_release(bindings);
			obs_data_release(own);
			return keys;
		};
		const auto saveNow = [&]() {
			obs_data_t *modules = obs_data_create();
			testfrontend::fireSave(modules, true);
			const QStringList keys = playPauseKeys(modules);
			obs_data_release(modules);
			return keys;
		};
		obs_data_t *first = obs_data_create_from_json(
			R"({"OBS-Tracklane": {"hotkeys": {"OBS-Tracklane.PlayPause": [{"key": "OBS_KEY_F9"}]}}})");
		testfrontend::fireSave(first, false);
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);

		// A new collection: the one left is saved with its binding, the new one without any.
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGING);
		QCOMPARE(saveNow(), QStringList{QStringLiteral("OBS_KEY_F9")});
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CLEANUP);
		QCOMPARE(saveNow(), QStringList());
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGED);
		QCOMPARE(saveNow(), QStringList());

		// Back to the first, loaded from its file: its binding is back.
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGING);
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CLEANUP);
		testfrontend::fireSave(first, false);
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGED);
		obs_data_release(first);
		QCOMPARE(saveNow(), QStringList{QStringLiteral("OBS_KEY_F9")});
	}

	void settingsPathComesFromModuleConfig()
	{
		QVERIFY(obs_module_load());
		const QString path = TA::settingsPath(*loadedDock());
		QVERIFY(path.startsWith(configHome->path()));
		QVERIFY(path.endsWith(QStringLiteral("/settings.json")));
	}

	void refusedDockIsDestroyedSilently()
	{
		testfrontend::state().refuseDocks = true;
		QVERIFY(!obs_module_load());
		QVERIFY(!loadedDock());
		QVERIFY(!widgetAlive(QStringLiteral("OBS-Tracklane-content")));
		QVERIFY(testfrontend::state().callbacks.empty());
		QVERIFY(moduleHotkeys().isEmpty());
		QVERIFY(testhost::logLinesContaining(QStringLiteral("[OBS-Tracklane]")).isEmpty());
	}

	void configurationChangedSavesCollection()
	{
		QVERIFY(obs_module_load());
		Q_EMIT loadedDock()->configurationChanged();
		QCOMPARE(testfrontend::state().saveCount, 1);
	}

	void eventSequence()
	{
		QVERIFY(obs_module_load());
		Tracklane &dock = *loadedDock();
		QVERIFY(TA::suspended(dock));
		QVERIFY(!TA::closing(dock));

		// Events that change nothing for the dock.
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_STREAMING_STARTED);
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_CHANGED);
		QVERIFY(TA::suspended(dock));

		testfrontend::fireEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);
		QVERIFY(!TA::suspended(dock));

		testfrontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGING);
		QVERIFY(TA::suspended(dock));
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGED);
		QVERIFY(!TA::suspended(dock));

		testfrontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CLEANUP);
		QVERIFY(TA::suspended(dock));
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGED);
		QVERIFY(!TA::suspended(dock));
		QVERIFY(TA::pollTimer(dock).isActive());

		testfrontend::fireEvent(OBS_FRONTEND_EVENT_EXIT);
		QVERIFY(tracklane::exiting);
		QVERIFY(TA::closing(dock));
		QVERIFY(TA::suspended(dock));
		QVERIFY(!TA::pollTimer(dock).isActive());

		// Nothing revives a dock that has closed.
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGED);
		QVERIFY(TA::suspended(dock));
		QVERIFY(TA::closing(dock));
		QVERIFY(!TA::pollTimer(dock).isActive());
		tracklane::exiting = false;
	}

	void suspendedPollDoesNotCount()
	{
		QVERIFY(obs_module_load());
		Tracklane &dock = *loadedDock();
		QTest::qWait(600);
		QCOMPARE(TA::pollTickCount(dock), 0);
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);
		QVERIFY(QTest::qWaitFor([&]() { return TA::pollTickCount(dock) >= 2; }, 5000));
	}

	void stopPollingActsOnlyOnce()
	{
		QVERIFY(obs_module_load());
		Tracklane &dock = *loadedDock();
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_EXIT);
		QCOMPARE(TA::sourceSelector(dock)->count(), 1);

		// A second reset would put the selector back to the placeholder alone.
		TA::sourceSelector(dock)->addItem(QStringLiteral("marker"));
		dock.stopPolling();
		dock.stopPolling();
		QCOMPARE(TA::sourceSelector(dock)->count(), 2);
		tracklane::exiting = false;
	}

	void unloadAfterExitKeepsDockRegistrationButDeletesDock()
	{
		QVERIFY(obs_module_load());
		QPointer<Tracklane> dock = loadedDock();
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_EXIT);
		obs_module_unload();
		QVERIFY(testfrontend::state().removedDocks.isEmpty());
		QVERIFY(!dock);
		QVERIFY(!loadedDock());
		QVERIFY(testfrontend::state().callbacks.empty());
		tracklane::exiting = false;
	}

	void unloadWithoutExitRemovesDock()
	{
		QVERIFY(obs_module_load());
		QPointer<Tracklane> dock = loadedDock();
		obs_module_unload();
		QCOMPARE(testfrontend::state().removedDocks, QStringList{QStringLiteral("OBS-Tracklane")});
		QVERIFY(!dock);
		QVERIFY(!loadedDock());
		QVERIFY(testfrontend::state().callbacks.empty());
		QVERIFY(testfrontend::state().saveCallbacks.empty());
		QVERIFY(moduleHotkeys().isEmpty());
	}

	void eventsAfterFrontendDeletedDockAreIgnored()
	{
		QVERIFY(obs_module_load());
		delete testfrontend::state().docks[0].widget.data();
		QVERIFY(!loadedDock());
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_FINISHED_LOADING);
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_SCENE_COLLECTION_CLEANUP);
		testfrontend::fireEvent(OBS_FRONTEND_EVENT_EXIT);
		QVERIFY(!tracklane::exiting);
		obs_module_unload();
		QVERIFY(testfrontend::state().removedDocks.isEmpty());
		QVERIFY(testfrontend::state().callbacks.empty());
	}

	void missingLocaleShowsKeys()
	{
		obs_module_free_locale();
		QCOMPARE(QString::fromUtf8(moduleText("DockName")), QStringLiteral("DockName"));
		QCOMPARE(QString::fromUtf8(obs_module_name()), QStringLiteral("DockName"));
		const char *out = nullptr;
		QVERIFY(!obs_module_get_string("DockName", &out));

		// Loading still works; the dock is titled by its key.
		QVERIFY(obs_module_load());
		QCOMPARE(testfrontend::state().docks[0].title, QStringLiteral("DockName"));
		obs_module_unload();

		obs_module_set_locale("en-US");
		QCOMPARE(QString::fromUtf8(moduleText("DockName")), QStringLiteral("OBS-Tracklane"));
		QCOMPARE(QString::fromUtf8(moduleText("NoSuchKey")), QStringLiteral("NoSuchKey"));
		// A second set replaces the table; the leak check at shutdown catches a table not freed.
		obs_module_set_locale("de-DE");
		QCOMPARE(QString::fromUtf8(moduleText("Play")), QStringLiteral("Abspielen"));
		obs_module_set_locale("en-US");
		QCOMPARE(QString::fromUtf8(moduleText("Play")), QStringLiteral("Play"));
	}

	// A translation has exactly the keys of the default locale, each text with the same
	// placeholders, in the one form of line libobs reads as written.
	void localeFilesMatchDefault()
	{
		const QDir dir(QStringLiteral(TRACKLANE_TEST_SOURCE_DIR "/../data/locale"));
		const LocaleFile base = readLocaleFile(dir.filePath(QStringLiteral("en-US.ini")));
		QVERIFY2(base.faults.isEmpty(), qPrintable(base.faults.join(QStringLiteral("; "))));
		QVERIFY(base.texts.contains(QStringLiteral("DockName")));

		const QStringList files = dir.entryList({QStringLiteral("*.ini")}, QDir::Files, QDir::Name);
		QVERIFY(files.size() > 1);
		QStringList faults;
		for (const QString &name : files) {
			const LocaleFile locale = readLocaleFile(dir.filePath(name));
			for (const QString &fault : locale.faults)
				faults << name + QStringLiteral(": ") + fault;
			for (auto it = base.texts.cbegin(); it != base.texts.cend(); ++it) {
				if (!locale.texts.contains(it.key()))
					faults << name + QStringLiteral(": lacks ") + it.key();
				else if (placeholders(locale.texts.value(it.key())) != placeholders(it.value()))
					faults << name + QStringLiteral(": placeholders of ") + it.key();
			}
			for (auto it = locale.texts.cbegin(); it != locale.texts.cend(); ++it)
				if (!base.texts.contains(it.key()))
					faults << name + QStringLiteral(": extra ") + it.key();
		}
		QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
	}
};

int main(int argc, char **argv)
{
	QApplication app(argc, argv);
	QTemporaryDir home;
	configHome = &home;
	if (!testhost::start(home.path().toUtf8().constData()))
		return 2;
	int rc;
	{
		ModuleTest test;
		rc = QTest::qExec(&test, argc, argv);
	}
	const long leaks = testhost::stop();
	if (leaks != 0) {
		fprintf(stderr, "libobs: %ld allocations leaked\n", leaks);
		return rc ? rc : 3;
	}
	return rc;
}

#include "test_module.moc"
