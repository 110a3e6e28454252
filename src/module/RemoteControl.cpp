#include "module/RemoteControl.hpp"
#include "module/RemoteRequests.hpp"
#include "module/plugin-main.hpp"
#include "module/NowPlaying.hpp"
#include "dock/Tracklane.hpp"

#include <obs-module.h>
#include <obs.hpp>
#include <callback/proc.h>

#include <cassert>
#include <cstring>

#include <obs-websocket-api.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace tracklane {

namespace {

constexpr const char vendorName[] = "OBS-Tracklane";

// How long a request waits for the UI thread to take it up. The UI thread is busy for longer
// only when it is blocked (a modal wait, a stall); the request then fails as busy instead of
// holding obs-websocket's thread, and the command is dropped, never run late.
constexpr auto uiWait = std::chrono::seconds(3);
constexpr int observeIntervalMs = 250;

obs_websocket_vendor vendor = nullptr;
QTimer *observer = nullptr;

// A request handed from obs-websocket's thread to the UI thread. Requests and answers cross as
// JSON text, so that neither thread touches the other's data objects.
struct Job {
	QByteArray request;
	QJsonObject answer;
	bool claimed = false;   // the UI thread is running it
	bool done = false;      // answer is set
	bool abandoned = false; // the request thread gave up; never run it
};

std::mutex jobMutex;
std::condition_variable jobChanged;
bool accepting = false; // guarded by jobMutex

using remote::answer;
using remote::Handler;
using remote::Outcome;
using remote::Request;
using remote::stateName;
using remote::tagsOf;
using remote::trackObject;

void runJob(const std::shared_ptr<Job> &job, Handler handler)
{
	{
		std::lock_guard<std::mutex> lock(jobMutex);
		if (job->abandoned || !accepting)
			return;
		job->claimed = true;
	}
	const QJsonObject args = QJsonDocument::fromJson(job->request).object();
	Tracklane *dock = currentDock.data();
	QJsonObject out = dock ? handler(*dock, args) : answer(Outcome::Unbound);
	{
		std::lock_guard<std::mutex> lock(jobMutex);
		job->answer = std::move(out);
		job->done = true;
	}
	jobChanged.notify_all();
}

void reply(obs_data_t *responseData, const QByteArray &json)
{
	if (!responseData)
		return;
	OBSDataAutoRelease data = obs_data_create_from_json(json.constData());
	if (data)
		obs_data_apply(responseData, data);
}

// Runs on obs-websocket's thread; the dock is reached only through the UI thread.
void onRequest(obs_data_t *requestData, obs_data_t *responseData, void *privateData)
{
	const Request *request = static_cast<const Request *>(privateData);
	const Handler handler = request->handler;
	const QByteArray unbound = QJsonDocument(answer(Outcome::Unbound)).toJson(QJsonDocument::Compact);
	// The UI thread did not get to the request in time: unlike unbound, worth asking again.
	QJsonObject busyAnswer;
	busyAnswer[QStringLiteral("success")] = false;
	busyAnswer[QStringLiteral("error")] = QStringLiteral("busy");
	const QByteArray busy = QJsonDocument(busyAnswer).toJson(QJsonDocument::Compact);

	auto job = std::make_shared<Job>();
	const char *json = requestData ? obs_data_get_json(requestData) : nullptr;
	job->request = QByteArray(json ? json : "{}");

	QCoreApplication *app = QCoreApplication::instance();
	{
		std::lock_guard<std::mutex> lock(jobMutex);
		if (!accepting || !app) {
			reply(responseData, unbound);
			return;
		}
	}
	// With the application as context, the call runs on the UI thread even if the dock is gone
	// by then, and runJob answers for it.
	QMetaObject::invokeMethod(
		app, [job, handler]() { runJob(job, handler); }, Qt::QueuedConnection);

	QByteArray text;
	QJsonObject out;
	bool answered = false;
	{
		std::unique_lock<std::mutex> lock(jobMutex);
		jobChanged.wait_for(lock, uiWait, [&]() { return job->done || (!job->claimed && !accepting); });
		// A job the UI thread has started finishes without waiting for anything else.
		if (job->claimed)
			jobChanged.wait(lock, [&]() { return job->done; });
		if (job->done) {
			out = std::move(job->answer);
			answered = true;
		} else {
			job->abandoned = true;
			// Released because OBS is exiting, or the wait ran out with the UI thread elsewhere.
			text = accepting ? busy : unbound;
		}
	}
	if (answered) {
		if (request->offUi)
			request->offUi(out);
		text = QJsonDocument(out).toJson(QJsonDocument::Compact);
	}
	reply(responseData, text.isEmpty() ? unbound : text);
}

void emitEvent(const char *type, const QJsonObject &data)
{
	const QByteArray json = QJsonDocument(data).toJson(QJsonDocument::Compact);
	OBSDataAutoRelease eventData = obs_data_create_from_json(json.constData());
	if (!eventData)
		return;
	obs_websocket_vendor_emit_event(vendor, type, eventData);
}

// What the last look at the dock found, to tell what changed since.
QString observedState = QStringLiteral("OBS_MEDIA_STATE_NONE");
quint64 observedStarts = 0;

void reportState(const QString &state)
{
	if (state == observedState)
		return;
	observedState = state;
	QJsonObject data;
	data[QStringLiteral("state")] = state;
	emitEvent("PlaybackStateChanged", data);
}

void observe()
{
	Tracklane *dock = currentDock.data();
	if (!dock || !vendor)
		return;
	const Tracklane::StatusInfo status = dock->statusInfo();
	// The dock counts the source's own starts, so a track shorter than the time between two looks
	// is reported too, once, even if it has ended by now: first its start, then that it played.
	if (status.trackStarts != observedStarts) {
		// The tags come once the source has opened the track, within a second of its start; the
		// event waits for them, and the states after it with it.
		const NowPlaying *now = nowPlaying();
		if (now && now->tags().start == status.trackStarts && !now->tags().settled)
			return;
		observedStarts = status.trackStarts;
		if (status.bound && !status.current.id.isEmpty()) {
			const TrackTags tags = tagsOf(status.current, status.trackStarts);
			emitEvent("TrackStarted", trackObject(status.current, &tags));
			reportState(stateName(OBS_MEDIA_STATE_PLAYING));
		}
	}
	// The stop a track switch asks for, and the moment before the new track begins, are the dock's
	// own doing, not a change of what plays: between two tracks a client hears only the start.
	if (status.bound && status.switchPending)
		return;
	reportState(stateName(status.bound ? status.mediaState : OBS_MEDIA_STATE_NONE));
}

// obs-websocket's header logs when it cannot find obs-websocket; look for it quietly first.
bool webSocketPresent()
{
	proc_handler_t *global = obs_get_proc_handler();
	if (!global)
		return false;
	calldata_t data = {};
	const bool found = proc_handler_call(global, "obs_websocket_api_get_ph", &data) &&
			   calldata_ptr(&data, "ph") != nullptr;
	calldata_free(&data);
	return found;
}

} // namespace

void openRemoteControl()
{
	if (!vendor) {
		if (!webSocketPresent())
			return;
		vendor = obs_websocket_register_vendor(vendorName);
		if (!vendor)
			return;
		// The requests stay registered for the life of the process: obs-websocket may be gone by
		// the time this module unloads, and libobs keeps the module's code loaded until exit.
		for (std::size_t i = 0; i < remote::requestCount; ++i)
			obs_websocket_vendor_register_request(vendor, remote::requests[i].type, onRequest,
							      const_cast<Request *>(&remote::requests[i]));
	}
	{
		std::lock_guard<std::mutex> lock(jobMutex);
		accepting = true;
	}
	if (!observer) {
		observer = new QTimer();
		observer->setInterval(observeIntervalMs);
		QObject::connect(observer, &QTimer::timeout, observe);
		observer->start();
	}
}

void closeRemoteControl()
{
	{
		std::lock_guard<std::mutex> lock(jobMutex);
		accepting = false;
	}
	jobChanged.notify_all();
	delete observer;
	observer = nullptr;
}

} // namespace tracklane
