#pragma once

#include <obs.h>

namespace tracklane {

// The module's data in the scene collection: one object, "OBS-Tracklane", that holds the hotkey
// bindings ("hotkeys") and what the audience is shown ("nowPlaying"). One frontend save callback
// makes and reads the whole object, so that no part overwrites another's.
void registerModuleData();
void unregisterModuleData();

// The frontend save callback: saving, or loading a collection (modules may be null then).
void saveOrLoadModuleData(obs_data_t *modules, bool saving, void *privateData);

} // namespace tracklane
