#pragma once

#include "dock/Tracklane.hpp"

#include <obs.h>

namespace tracklane {

// The transport's frontend hotkeys, listed by name in OBS's Settings > Hotkeys. Their bindings
// are kept with the scene collection (saveOrLoadHotkeys). Registered after the dock, unregistered
// at unload.
void registerHotkeys();
void unregisterHotkeys();

// The id libobs gave the hotkey of a command; OBS_INVALID_HOTKEY_ID when not registered.
obs_hotkey_id hotkeyFor(Tracklane::Command command);

// The collection's save and load of the bindings, as part of the module's data (ModuleData.hpp).
void saveOrLoadHotkeys(obs_data_t *saveData, bool saving, void *privateData);

// Forgets the bindings of the collection being cleared. OBS has saved that collection by then, and
// a collection it loads from a file brings its own; one made new brings none and starts with none.
void clearHotkeyBindings();

} // namespace tracklane
