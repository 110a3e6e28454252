#include "frontend.hpp"

#include <QDockWidget>

#include <algorithm>

namespace testfrontend {

State &state()
{
	static State s;
	return s;
}

static void replaceRef(obs_source_t *&slot, obs_source_t *source)
{
	obs_source_t *old = slot;
	slot = source ? obs_source_get_ref(source) : nullptr;
	obs_source_release(old);
}

void reset()
{
	State &s = state();
	for (DockRecord &dock : s.docks)
		delete dock.widget.data();
	s.docks.clear();
	s.removedDocks.clear();
	s.refuseDocks = false;
	s.studioMode = false;
	s.saveCount = 0;
	replaceRef(s.currentScene, nullptr);
	replaceRef(s.previewScene, nullptr);
	for (obs_source_t *scene : s.scenes) {
		obs_source_remove(scene);
		obs_source_release(scene);
	}
	s.scenes.clear();
	s.setSceneCalls.clear();
	s.callbacks.clear();
	s.saveCallbacks.clear();
	s.toolsMenu.clear();
	s.mainWindow = nullptr;
}

void fireEvent(enum obs_frontend_event event)
{
	// A callback may remove itself; walk a copy.
	const auto callbacks = state().callbacks;
	for (const auto &[cb, data] : callbacks)
		cb(event, data);
}

void fireSave(obs_data_t *moduleData, bool saving)
{
	const auto callbacks = state().saveCallbacks;
	for (const auto &[cb, data] : callbacks)
		cb(moduleData, saving, data);
}

bool triggerToolsMenuItem(const QString &name)
{
	const auto items = state().toolsMenu;
	for (const auto &item : items) {
		if (item.name == name) {
			item.callback(item.data);
			return true;
		}
	}
	return false;
}

obs_scene_t *addScene(const char *name)
{
	obs_scene_t *scene = obs_scene_create(name);
	state().scenes.push_back(obs_scene_get_source(scene));
	return scene;
}

void setCurrentScene(obs_source_t *scene)
{
	replaceRef(state().currentScene, scene);
}

void setPreviewScene(obs_source_t *scene)
{
	replaceRef(state().previewScene, scene);
}

} // namespace testfrontend

using testfrontend::state;

extern "C" {

bool obs_frontend_add_dock_by_id(const char *id, const char *title, void *widget)
{
	auto &s = state();
	if (s.refuseDocks)
		return false;
	for (const auto &dock : s.docks)
		if (dock.id == QString::fromUtf8(id))
			return false;
	s.docks.push_back({QString::fromUtf8(id), QString::fromUtf8(title), static_cast<QWidget *>(widget)});
	return true;
}

void obs_frontend_remove_dock(const char *id)
{
	auto &s = state();
	s.removedDocks << QString::fromUtf8(id);
	auto it = std::find_if(s.docks.begin(), s.docks.end(),
			       [&](const testfrontend::DockRecord &d) { return d.id == QString::fromUtf8(id); });
	if (it == s.docks.end())
		return;
	// Like OBS, removing a dock deletes its widget at once.
	delete it->widget.data();
	s.docks.erase(it);
}

void obs_frontend_add_event_callback(obs_frontend_event_cb callback, void *private_data)
{
	state().callbacks.emplace_back(callback, private_data);
}

void obs_frontend_remove_event_callback(obs_frontend_event_cb callback, void *private_data)
{
	auto &cbs = state().callbacks;
	cbs.erase(std::remove(cbs.begin(), cbs.end(), std::make_pair(callback, private_data)), cbs.end());
}

void obs_frontend_add_save_callback(obs_frontend_save_cb callback, void *private_data)
{
	state().saveCallbacks.emplace_back(callback, private_data);
}

void obs_frontend_remove_save_callback(obs_frontend_save_cb callback, void *private_data)
{
	auto &cbs = state().saveCallbacks;
	cbs.erase(std::remove(cbs.begin(), cbs.end(), std::make_pair(callback, private_data)), cbs.end());
}

void obs_frontend_add_tools_menu_item(const char *name, obs_frontend_cb callback, void *private_data)
{
	state().toolsMenu.push_back({QString::fromUtf8(name), callback, private_data});
}

void *obs_frontend_get_main_window(void)
{
	return state().mainWindow.data();
}

void obs_frontend_save(void)
{
	++state().saveCount;
}

void obs_frontend_get_scenes(struct obs_frontend_source_list *sources)
{
	for (obs_source_t *scene : state().scenes) {
		obs_source_t *ref = obs_source_get_ref(scene);
		da_push_back(sources->sources, &ref);
	}
}

obs_source_t *obs_frontend_get_current_scene(void)
{
	return state().currentScene ? obs_source_get_ref(state().currentScene) : nullptr;
}

obs_source_t *obs_frontend_get_current_preview_scene(void)
{
	if (!state().studioMode)
		return nullptr;
	return state().previewScene ? obs_source_get_ref(state().previewScene) : nullptr;
}

void obs_frontend_set_current_scene(obs_source_t *scene)
{
	state().setSceneCalls << QStringLiteral("program:") + QString::fromUtf8(obs_source_get_name(scene));
	testfrontend::setCurrentScene(scene);
}

void obs_frontend_set_current_preview_scene(obs_source_t *scene)
{
	state().setSceneCalls << QStringLiteral("preview:") + QString::fromUtf8(obs_source_get_name(scene));
	if (state().studioMode)
		testfrontend::setPreviewScene(scene);
}

bool obs_frontend_preview_program_mode_active(void)
{
	return state().studioMode;
}

} // extern "C"
