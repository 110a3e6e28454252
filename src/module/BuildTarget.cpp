#include "module/plugin-main.hpp"

// Compiled once per artifact with the versions that artifact is built for, so that the module
// loads only into the exact OBS and Qt it was built against.
namespace tracklane {
const uint32_t requiredObsVersion = (uint32_t(TRACKLANE_OBS_MAJOR) << 24) | (uint32_t(TRACKLANE_OBS_MINOR) << 16) |
				    uint32_t(TRACKLANE_OBS_PATCH);
const char requiredObsVersionText[] = TRACKLANE_OBS_TEXT;
const char requiredQtVersion[] = TRACKLANE_QT_TEXT;
} // namespace tracklane
