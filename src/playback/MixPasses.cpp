#include "playback/MixPasses.hpp"

#include <obs.h>

MixPasses::~MixPasses()
{
	if (obs_initialized())
		stop();
}

void MixPasses::start()
{
	if (connected || !obs_get_audio())
		return;
	// Mix 0 is mixed once something is connected to it; its callback runs after the pass that
	// mixed it. Passes that only build up OBS's audio buffering call no callback: the count then
	// lags, and the wait is longer, never shorter.
	obs_add_raw_audio_callback(0, nullptr, &MixPasses::onMix, this);
	connected = true;
}

void MixPasses::stop()
{
	if (!connected)
		return;
	// libobs holds the lock this takes while it calls onMix, so no call outlives it.
	obs_remove_raw_audio_callback(0, &MixPasses::onMix, this);
	connected = false;
}

void MixPasses::onMix(void *param, size_t, audio_data *)
{
	static_cast<MixPasses *>(param)->count.fetch_add(1, std::memory_order_release);
}
