#include "module/hotkeys.hpp"
#include "module/plugin-module.hpp"

#include <obs-frontend-api.h>

#include <QCoreApplication>
#include <QMetaObject>

namespace tracklane {

namespace {

struct Hotkey {
	Tracklane::Command command;
	const char *name;
	const char *descriptionKey;
	obs_hotkey_id id;
};

Hotkey hotkeys[] = {
	{Tracklane::Command::PlayPause, "OBS-Tracklane.PlayPause", "HotkeyPlayPause", OBS_INVALID_HOTKEY_ID},
	{Tracklane::Command::Stop, "OBS-Tracklane.Stop", "HotkeyStop", OBS_INVALID_HOTKEY_ID},
	{Tracklane::Command::Previous, "OBS-Tracklane.Previous", "HotkeyPrevious", OBS_INVALID_HOTKEY_ID},
	{Tracklane::Command::Next, "OBS-Tracklane.Next", "HotkeyNext", OBS_INVALID_HOTKEY_ID},
	{Tracklane::Command::PlaySelected, "OBS-Tracklane.PlaySelected", "HotkeyPlaySelected",
	 OBS_INVALID_HOTKEY_ID},
	{Tracklane::Command::RestorePlaylist, "OBS-Tracklane.RestorePlaylist", "HotkeyRestorePlaylist",
	 OBS_INVALID_HOTKEY_ID},
};

// Where the bindings live in the collection's module data.
constexpr const char hotkeysKey[] = "hotkeys";

void runOnDock(Tracklane::Command command)
{
	// The dock may have gone, or closed, between the key press and now.
	Tracklane *dock = currentDock.data();
	if (dock)
		dock->runCommand(command);
}

// libobs calls this on its hotkey thread (or on whichever thread injected the key), with its
// hotkey lock held: the command is handed to the UI thread and nothing else is touched here.
// libobs reports a held key once, so a key's auto-repeat does not press again.
void onHotkey(void *data, obs_hotkey_id, obs_hotkey_t *, bool pressed)
{
	if (!pressed)
		return;
	const Tracklane::Command command = static_cast<const Hotkey *>(data)->command;
	QCoreApplication *app = QCoreApplication::instance();
	if (!app)
		return;
	QMetaObject::invokeMethod(app, [command]() { runOnDock(command); }, Qt::QueuedConnection);
}

} // namespace

void registerHotkeys()
{
	for (Hotkey &hotkey : hotkeys) {
		if (hotkey.id == OBS_INVALID_HOTKEY_ID)
			hotkey.id = obs_hotkey_register_frontend(hotkey.name, moduleText(hotkey.descriptionKey),
								 onHotkey, &hotkey);
	}
}

void unregisterHotkeys()
{
	for (Hotkey &hotkey : hotkeys) {
		// Returns once a callback running on the hotkey thread has finished.
		if (hotkey.id != OBS_INVALID_HOTKEY_ID)
			obs_hotkey_unregister(hotkey.id);
		hotkey.id = OBS_INVALID_HOTKEY_ID;
	}
}

obs_hotkey_id hotkeyFor(Tracklane::Command command)
{
	for (const Hotkey &hotkey : hotkeys)
		if (hotkey.command == command)
			return hotkey.id;
	return OBS_INVALID_HOTKEY_ID;
}

void saveOrLoadHotkeys(obs_data_t *saveData, bool saving, void *)
{
	if (saving) {
		if (!saveData)
			return;
		obs_data_t *bindings = obs_data_create();
		for (const Hotkey &hotkey : hotkeys) {
			if (hotkey.id == OBS_INVALID_HOTKEY_ID)
				continue;
			obs_data_array_t *array = obs_hotkey_save(hotkey.id);
			obs_data_set_array(bindings, hotkey.name, array);
			obs_data_array_release(array);
		}
		obs_data_t *own = obs_data_create();
		obs_data_set_obj(own, hotkeysKey, bindings);
		obs_data_set_obj(saveData, moduleName, own);
		obs_data_release(own);
		obs_data_release(bindings);
		return;
	}

	// A collection without bindings of its own clears those of the collection before it.
	obs_data_t *own = saveData ? obs_data_get_obj(saveData, moduleName) : nullptr;
	obs_data_t *bindings = own ? obs_data_get_obj(own, hotkeysKey) : nullptr;
	for (const Hotkey &hotkey : hotkeys) {
		if (hotkey.id == OBS_INVALID_HOTKEY_ID)
			continue;
		obs_data_array_t *array = bindings ? obs_data_get_array(bindings, hotkey.name) : nullptr;
		if (!array)
			array = obs_data_array_create();
		obs_hotkey_load(hotkey.id, array);
		obs_data_array_release(array);
	}
	obs_data_release(bindings);
	obs_data_release(own);
}

} // namespace tracklane
