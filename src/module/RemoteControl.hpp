#pragma once

namespace tracklane {

// Remote control through obs-websocket: the vendor "OBS-Tracklane", its requests and events.
// Registered once all modules are loaded, and only when obs-websocket is there; without it,
// nothing happens and nothing is logged.
void openRemoteControl();

// From the exit event on (and after unload) requests are answered without touching the dock and
// events stop. Requests waiting for the UI thread are released at once.
void closeRemoteControl();

} // namespace tracklane
