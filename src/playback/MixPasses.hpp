#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct audio_data;

// Counts the passes of OBS's audio mix. libobs works out a source's "audio pending" flag once a
// pass; read right after the source handed over audio, the flag still describes the buffer as it
// was before. Once two passes have been counted after that moment, one of them began after it.
class MixPasses {
public:
	MixPasses() = default;
	~MixPasses();
	MixPasses(const MixPasses &) = delete;
	MixPasses &operator=(const MixPasses &) = delete;

	// Starts counting, once OBS has an audio output; a second call does nothing.
	void start();
	// Stops counting; must be called while OBS is still up.
	void stop();

	uint64_t now() const { return count.load(std::memory_order_acquire); }
	// Without an audio output nothing is mixed, and the flag never changes: trust it as it reads.
	bool mixedTwiceSince(uint64_t mark) const { return !connected || now() - mark >= 2; }

private:
	static void onMix(void *param, size_t mixIndex, audio_data *data);

	std::atomic<uint64_t> count{0};
	bool connected = false;
};
