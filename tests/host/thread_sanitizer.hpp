#pragma once

// What the test host does differently in a ThreadSanitizer build.

#if defined(__SANITIZE_THREAD__)
#define TRACKLANE_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TRACKLANE_TSAN 1
#endif
#endif

#ifdef TRACKLANE_TSAN
extern "C" void __tsan_ignore_thread_begin(void);
extern "C" void __tsan_ignore_thread_end(void);
#endif

namespace testhost {

// While one lives, ThreadSanitizer does not check the memory accesses of the current thread; the
// thread's locking is still followed. Does nothing in other builds.
class UncheckedAccesses {
public:
	UncheckedAccesses()
	{
#ifdef TRACKLANE_TSAN
		__tsan_ignore_thread_begin();
#endif
	}
	~UncheckedAccesses()
	{
#ifdef TRACKLANE_TSAN
		__tsan_ignore_thread_end();
#endif
	}
	UncheckedAccesses(const UncheckedAccesses &) = delete;
	UncheckedAccesses &operator=(const UncheckedAccesses &) = delete;
};

} // namespace testhost
