#include "module/ModuleData.hpp"
#include "module/NowPlaying.hpp"
#include "module/Hotkeys.hpp"
#include "module/plugin-main.hpp"

#include <obs.hpp>
#include <obs-frontend-api.h>

namespace tracklane {

void registerModuleData()
{
	obs_frontend_add_save_callback(saveOrLoadModuleData, nullptr);
}

void unregisterModuleData()
{
	obs_frontend_remove_save_callback(saveOrLoadModuleData, nullptr);
}

void saveOrLoadModuleData(obs_data_t *modules, bool saving, void *)
{
	// The hotkeys write the module's object afresh, so they go first and the other parts join it.
	saveOrLoadHotkeys(modules, saving, nullptr);

	NowPlaying *now = nowPlaying();
	if (!now)
		return;
	if (!saving) {
		OBSDataAutoRelease own = modules ? obs_data_get_obj(modules, moduleName) : nullptr;
		now->load(own);
		return;
	}
	if (!modules)
		return;
	OBSDataAutoRelease own = obs_data_get_obj(modules, moduleName);
	if (!own) {
		own = obs_data_create();
		obs_data_set_obj(modules, moduleName, own);
	}
	now->save(own);
}

} // namespace tracklane
