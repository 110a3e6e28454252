#include "module/plugin-main.hpp"
#include "module/SceneSwitch.hpp"
#include "module/Hotkeys.hpp"
#include "module/RemoteControl.hpp"
#include "module/ModuleData.hpp"
#include "module/NowPlaying.hpp"
#include "dock/Tracklane.hpp"

#include <obs-frontend-api.h>
#include <util/bmem.h>
#include <util/text-lookup.h>

#include <QtGlobal>

#include <cstring>

namespace tracklane {
const char moduleVersion[] = TRACKLANE_VERSION;
QPointer<Tracklane> currentDock;
bool exiting = false;
} // namespace tracklane

using namespace tracklane;

static obs_module_t *moduleHandle = nullptr;
static lookup_t *localeTable = nullptr;

const char *moduleText(const char *key)
{
	const char *out = key;
	if (localeTable)
		text_lookup_getstr(localeTable, key, &out);
	return out;
}

QString moduleQString(const char *key)
{
	return QString::fromUtf8(moduleText(key));
}

extern "C" {

MODULE_EXPORT void obs_module_set_pointer(obs_module_t *module)
{
	moduleHandle = module;
}

MODULE_EXPORT obs_module_t *obs_current_module(void)
{
	return moduleHandle;
}

MODULE_EXPORT uint32_t obs_module_ver(void)
{
	return requiredObsVersion;
}

MODULE_EXPORT void obs_module_set_locale(const char *locale)
{
	if (localeTable)
		text_lookup_destroy(localeTable);
	localeTable = obs_module_load_locale(moduleHandle, defaultLocale, locale);
}

MODULE_EXPORT void obs_module_free_locale(void)
{
	if (localeTable)
		text_lookup_destroy(localeTable);
	localeTable = nullptr;
}

MODULE_EXPORT bool obs_module_get_string(const char *key, const char **out)
{
	return localeTable && text_lookup_getstr(localeTable, key, out);
}

MODULE_EXPORT const char *obs_module_name(void)
{
	return moduleText("DockName");
}

MODULE_EXPORT const char *obs_module_description(void)
{
	return moduleText("PluginDescription");
}

MODULE_EXPORT const char *obs_module_author(void)
{
	return "tracklane.example.org";
}

MODULE_EXPORT bool obs_module_load(void)
{
	if (obs_get_version() != requiredObsVersion) {
		blog(LOG_ERROR, "[OBS-Tracklane] This build requires OBS %s.", requiredObsVersionText);
		return false;
	}

	const char *runtimeQt = qVersion();
	if (std::strlen(runtimeQt) != std::strlen(requiredQtVersion) || std::strcmp(runtimeQt, requiredQtVersion) != 0) {
		blog(LOG_ERROR, "[OBS-Tracklane] This build requires Qt %s; runtime is %s.", requiredQtVersion,
		     runtimeQt);
		return false;
	}

	char *configPath = obs_module_get_config_path(moduleHandle, settingsFileName);
	const QString settingsPath = configPath ? QString::fromUtf8(configPath) : QString();
	bfree(configPath);

	auto *dock = new Tracklane(settingsPath, nullptr);
	if (!obs_frontend_add_dock_by_id(moduleName, moduleText("DockName"), dock)) {
		delete dock;
		return false;
	}
	currentDock = dock;

	QObject::connect(dock, &Tracklane::sceneSwitchRequested, dock,
			 [](const QString &sourceUuid) { switchToSceneShowingSource(sourceUuid); });
	QObject::connect(dock, &Tracklane::configurationChanged, dock, []() { obs_frontend_save(); });

	exiting = false;
	obs_frontend_add_event_callback(handleFrontendEvent, nullptr);
	registerHotkeys();
	openNowPlaying(dock);
	registerModuleData();

	blog(LOG_INFO, "[OBS-Tracklane] %s loaded; Qt %s; dock registered.", moduleVersion, runtimeQt);
	return true;
}

// obs-websocket takes vendors only once every module is loaded.
MODULE_EXPORT void obs_module_post_load(void)
{
	if (currentDock)
		openRemoteControl();
}

MODULE_EXPORT void obs_module_unload(void)
{
	obs_frontend_remove_event_callback(handleFrontendEvent, nullptr);
	closeRemoteControl();
	unregisterModuleData();
	closeNowPlaying();
	unregisterHotkeys();
	if (!currentDock)
		return;

	currentDock->stopPolling();
	if (!exiting)
		obs_frontend_remove_dock(moduleName);
	// Removing the dock may already have deleted it; the guarded pointer knows.
	if (currentDock)
		delete currentDock.data();
	currentDock = nullptr;
}

} // extern "C"
