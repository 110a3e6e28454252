#include "module/Hotkeys.hpp"
#include "module/plugin-main.hpp"

#include <obs-frontend-api.h>
#include <obs.hpp>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaObject>

namespace tracklane {

namespace {

struct Hotkey {
	Tracklane::Command command;
	const char *name;
	const char *descriptionKey;
	obs_hotkey_id id;
	// When the UI thread last ran this key's command; touched on the UI thread only.
	QElapsedTimer lastRun = {};
};

Hotkey hotkeys[] = {
	{Tracklane::Command::PlayPause, "OBS-Tracklane.PlayPause", "HotkeyPlayPause", OBS_INVALID_HOTKEY_ID},
	{Tracklane::Command::Stop, "OBS-Tracklane.Stop", "HotkeyStop", OBS_INVALID_HOTKEY_ID},
	{Tracklane::Command::Previous, "OBS-Tracklane.Previous", "HotkeyPrevious", OBS_INVALID_HOTKEY_ID},
	{Tracklane::Command::Next, "OBS-Tracklane.Next", "HotkeyNext", OBS_INVALID_HOTKEY_ID},
	{Tracklane::Command::PlaySelected, "OBS-Tracklane.PlaySelected", "HotkeyPlaySelected", OBS_INVALID_HOTKEY_ID},
	{Tracklane::Command::RestorePlaylist, "OBS-Tracklane.RestorePlaylist", "HotkeyRestorePlaylist",
	 OBS_INVALID_HOTKEY_ID},
};

// Where the bindings live in the collection's module data.
constexpr const char hotkeysKey[] = "hotkeys";

// libobs hears a key twice: its hotkey thread polls the keyboard, and the frontend passes on the
// key events Qt delivers to OBS's windows. Normally the second finds the key already down and
// presses nothing. But while the UI thread is stalled, the hotkey thread sees a short tap go down
// and up, and only afterwards does Qt deliver the tap's queued key events, which press the
// released key again. Both presses reach the UI thread together once it runs again, so a press
// that comes this soon after the last one the key ran is the same tap. (A stall also merges two
// real taps made within it into one: on air, one track too few is the safer mistake.)
constexpr qint64 samePressMs = 150;

void runOnDock(Hotkey &hotkey)
{
	if (hotkey.lastRun.isValid() && hotkey.lastRun.elapsed() < samePressMs)
		return;
	hotkey.lastRun.start();
	// The dock may have gone, or closed, between the key press and now.
	Tracklane *dock = currentDock.data();
	if (dock)
		dock->runCommand(hotkey.command);
}

// libobs calls this on its hotkey thread (or on whichever thread injected the key), with its
// hotkey lock held: the command is handed to the UI thread and nothing else is touched here.
// libobs reports a held key once, so a key's auto-repeat does not press again.
void onHotkey(void *data, obs_hotkey_id, obs_hotkey_t *, bool pressed)
{
	if (!pressed)
		return;
	Hotkey *hotkey = static_cast<Hotkey *>(data);
	QCoreApplication *app = QCoreApplication::instance();
	if (!app)
		return;
	QMetaObject::invokeMethod(
		app, [hotkey]() { runOnDock(*hotkey); }, Qt::QueuedConnection);
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

void clearHotkeyBindings()
{
	for (const Hotkey &hotkey : hotkeys) {
		if (hotkey.id == OBS_INVALID_HOTKEY_ID)
			continue;
		obs_hotkey_load(hotkey.id, OBSDataArrayAutoRelease(obs_data_array_create()));
	}
}

void saveOrLoadHotkeys(obs_data_t *saveData, bool saving, void *)
{
	if (saving) {
		if (!saveData)
			return;
		OBSDataAutoRelease bindings = obs_data_create();
		for (const Hotkey &hotkey : hotkeys) {
			if (hotkey.id == OBS_INVALID_HOTKEY_ID)
				continue;
			obs_data_set_array(bindings, hotkey.name, OBSDataArrayAutoRelease(obs_hotkey_save(hotkey.id)));
		}
		OBSDataAutoRelease own = obs_data_create();
		obs_data_set_obj(own, hotkeysKey, bindings);
		obs_data_set_obj(saveData, moduleName, own);
		return;
	}

	// A collection without bindings of its own clears those of the collection before it.
	OBSDataAutoRelease own = saveData ? obs_data_get_obj(saveData, moduleName) : nullptr;
	OBSDataAutoRelease bindings = own ? obs_data_get_obj(own, hotkeysKey) : nullptr;
	for (const Hotkey &hotkey : hotkeys) {
		if (hotkey.id == OBS_INVALID_HOTKEY_ID)
			continue;
		OBSDataArrayAutoRelease array = bindings ? obs_data_get_array(bindings, hotkey.name) : nullptr;
		if (!array)
			array = obs_data_array_create();
		obs_hotkey_load(hotkey.id, array);
	}
}

} // namespace tracklane
