#include "module/plugin-main.hpp"
#include "module/RemoteControl.hpp"
#include "module/Hotkeys.hpp"
#include "module/NowPlaying.hpp"
#include "dock/Tracklane.hpp"

namespace tracklane {

void handleFrontendEvent(enum obs_frontend_event event, void *)
{
	// The frontend may delete the dock before it stops sending events.
	Tracklane *dock = currentDock.data();
	if (!dock)
		return;

	switch (event) {
	case OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGED:
	case OBS_FRONTEND_EVENT_FINISHED_LOADING:
		dock->onCollectionLoaded();
		break;
	case OBS_FRONTEND_EVENT_EXIT:
		exiting = true;
		closeRemoteControl();
		dock->stopPolling();
		break;
	case OBS_FRONTEND_EVENT_SCENE_COLLECTION_CLEANUP:
		// Only here, not when the collection starts changing: OBS saves the collection it leaves,
		// with its bindings, between the two.
		clearHotkeyBindings();
		dock->resetBinding();
		break;
	case OBS_FRONTEND_EVENT_SCENE_COLLECTION_CHANGING:
		dock->resetBinding();
		break;
	default:
		break;
	}
	nowPlayingFrontendEvent(event);
}

} // namespace tracklane
