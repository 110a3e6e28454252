#pragma once

#include <obs.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

// Parks libobs's graphics thread in a task of its own, so that media actions the dock queues run
// only once the test lets them. Every wait is bounded.
class GraphicsHold {
public:
	bool hold()
	{
		obs_queue_task(OBS_TASK_GRAPHICS, &GraphicsHold::park, this, false);
		std::unique_lock<std::mutex> lock(mutex);
		return cv.wait_for(lock, std::chrono::seconds(5), [this]() { return entered; });
	}
	void release()
	{
		{
			std::lock_guard<std::mutex> lock(mutex);
			released = true;
		}
		cv.notify_all();
	}
	~GraphicsHold()
	{
		release();
		// The task must have left before this object goes away.
		std::unique_lock<std::mutex> lock(mutex);
		cv.wait_for(lock, std::chrono::seconds(5), [this]() { return left || !entered; });
	}

private:
	static void park(void *param)
	{
		auto *self = static_cast<GraphicsHold *>(param);
		std::unique_lock<std::mutex> lock(self->mutex);
		self->entered = true;
		self->cv.notify_all();
		self->cv.wait_for(lock, std::chrono::seconds(5), [self]() { return self->released; });
		self->left = true;
		self->cv.notify_all();
	}

	std::mutex mutex;
	std::condition_variable cv;
	bool entered = false;
	bool released = false;
	bool left = false;
};
