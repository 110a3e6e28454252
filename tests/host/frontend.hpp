#pragma once

// The test stand-in for the OBS application: our own definitions of the obs_frontend_* functions
// the module calls, linked in place of libobs-frontend-api. It records what the module asked for,
// lets a test fire frontend events and keeps a list of real libobs scenes.

#include <obs.h>
#include <obs-frontend-api.h>

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <vector>

namespace testfrontend {

struct DockRecord {
	QString id;
	QString title;
	QPointer<QWidget> widget;
};

// What the frontend holds and what it was asked to do. Reset between tests with reset().
struct State {
	bool refuseDocks = false;
	bool studioMode = false;
	std::vector<DockRecord> docks;
	QStringList removedDocks;
	int saveCount = 0;
	std::vector<obs_source_t *> scenes; // strong references, frontend order
	obs_source_t *currentScene = nullptr; // strong reference or null
	obs_source_t *previewScene = nullptr; // strong reference or null
	QStringList setSceneCalls;            // "program:<name>" or "preview:<name>"
	std::vector<std::pair<obs_frontend_event_cb, void *>> callbacks;
	std::vector<std::pair<obs_frontend_save_cb, void *>> saveCallbacks;
	struct ToolsMenuItem {
		QString name;
		obs_frontend_cb callback;
		void *data;
	};
	std::vector<ToolsMenuItem> toolsMenu;
	QPointer<QWidget> mainWindow; // what obs_frontend_get_main_window answers; none by default
};

State &state();

// Forgets recorded calls, releases the scene list and deletes docks still registered.
void reset();

// Delivers an event to every registered callback, as the frontend does on the UI thread.
void fireEvent(enum obs_frontend_event event);

// Runs the save callbacks as the frontend does when it saves (saving true) or loads a collection,
// with the collection's module data.
void fireSave(obs_data_t *moduleData, bool saving);

// Runs the Tools menu entry of that name as a click on it does; false when there is none.
bool triggerToolsMenuItem(const QString &name);

// Makes a real scene, adds it to the frontend's scene list, and returns it (owned by the list).
obs_scene_t *addScene(const char *name);
void setCurrentScene(obs_source_t *scene);
void setPreviewScene(obs_source_t *scene);

} // namespace testfrontend
