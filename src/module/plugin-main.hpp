#pragma once

#include <obs-module.h>
#include <obs-frontend-api.h>

#include <QPointer>
#include <QString>

class Tracklane;

// Exports that obs-module.h leaves to OBS_DECLARE_MODULE, which this module spells out itself.
extern "C" {
MODULE_EXPORT void obs_module_set_pointer(obs_module_t *module);
MODULE_EXPORT obs_module_t *obs_current_module(void);
MODULE_EXPORT uint32_t obs_module_ver(void);
}

// The exact versions this artifact is built for (src/module/BuildTarget.cpp, one per artifact).
namespace tracklane {
extern const uint32_t requiredObsVersion;
extern const char requiredObsVersionText[];
extern const char requiredQtVersion[];

constexpr const char moduleName[] = "OBS-Tracklane";
// Defined from project(VERSION) in CMakeLists.txt, the one place the version is written.
extern const char moduleVersion[];
constexpr const char settingsFileName[] = "settings.json";
constexpr const char defaultLocale[] = "en-US";

// The module's state; one per process.
extern QPointer<Tracklane> currentDock;
extern bool exiting;

void handleFrontendEvent(enum obs_frontend_event event, void *privateData);
} // namespace tracklane

// Locale text for a key, or the key itself when there is none. The text belongs to the locale
// table: turn it into a QString at once.
const char *moduleText(const char *key);

// moduleText decoded as UTF-8.
QString moduleQString(const char *key);
