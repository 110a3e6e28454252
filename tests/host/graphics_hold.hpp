#pragma once

#include <obs.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

// Parks libobs's graphics thread in a task of its own, so that media actions the dock queues run
// only once the test lets them. Every wait is bounded. The parked task shares its state with the
// hold, so a hold that gave up waiting can go away before the task has run.
class GraphicsHold {
public:
	bool hold()
	{
		obs_queue_task(OBS_TASK_GRAPHICS, &GraphicsHold::park, new std::shared_ptr<State>(state), false);
		std::unique_lock<std::mutex> lock(state->mutex);
		return state->cv.wait_for(lock, std::chrono::seconds(5), [this]() { return state->entered; });
	}
	void release()
	{
		{
			std::lock_guard<std::mutex> lock(state->mutex);
			state->released = true;
		}
		state->cv.notify_all();
	}
	~GraphicsHold()
	{
		release();
		// Once the task has left, everything it did happened before the test goes on.
		std::unique_lock<std::mutex> lock(state->mutex);
		state->cv.wait_for(lock, std::chrono::seconds(5), [this]() { return state->left || !state->entered; });
	}

private:
	struct State {
		std::mutex mutex;
		std::condition_variable cv;
		bool entered = false;
		bool released = false;
		bool left = false;
	};

	static void park(void *param)
	{
		std::unique_ptr<std::shared_ptr<State>> owned(static_cast<std::shared_ptr<State> *>(param));
		State &s = **owned;
		std::unique_lock<std::mutex> lock(s.mutex);
		s.entered = true;
		s.cv.notify_all();
		s.cv.wait_for(lock, std::chrono::seconds(5), [&s]() { return s.released; });
		s.left = true;
		s.cv.notify_all();
	}

	std::shared_ptr<State> state = std::make_shared<State>();
};
