#pragma once

// A stand-in for obs-websocket as plug-ins reach it: the procedures of obs-websocket-api.h behind
// the global "obs_websocket_api_get_ph". A module registers its vendor and requests through it as
// with the real server; a test calls a request on a thread of its own, as the server does for each
// client message, and reads the vendor events the module emitted.

#include <QJsonObject>
#include <QList>
#include <QString>

#include <memory>

namespace testwebsocket {

// Makes obs-websocket look present in this process from now on. Call before the module's
// obs_module_post_load; later calls do nothing.
void install();

// Frees the stand-in's libobs objects; call once no module calls into it any more (before
// libobs shuts down).
void uninstall();

// A vendor request under way on its own thread.
class Call {
public:
	Call(const QString &vendor, const QString &type, const QJsonObject &data = {});
	~Call();
	Call(const Call &) = delete;
	Call &operator=(const Call &) = delete;

	bool finished() const;
	// Waits for the answer, letting the UI thread run meanwhile (the module answers from there).
	QJsonObject answer();
	// The answer without running the UI thread; empty if it has not come within the time.
	QJsonObject answerWithoutEvents(int timeoutMs);

private:
	struct State;
	std::shared_ptr<State> state;
};

// A request and its answer, the UI thread running while it waits.
QJsonObject call(const QString &vendor, const QString &type, const QJsonObject &data = {});

struct Event {
	QString vendor;
	QString type;
	QJsonObject data;
};

// The vendor events emitted since the last call, oldest first.
QList<Event> takeEvents();

} // namespace testwebsocket
