#include "websocket_stand_in.hpp"

#include <obs.h>
#include <obs.hpp>
#include <obs-websocket-api.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testwebsocket {

namespace {

struct Vendor {
	std::string name;
};

std::mutex mutex;
proc_handler_t *handler = nullptr; // guarded by mutex
bool globalProcAdded = false;
std::vector<std::unique_ptr<Vendor>> vendors;
std::map<std::pair<std::string, std::string>, obs_websocket_request_callback> requests;
QList<Event> events;

void getHandler(void *, calldata_t *cd)
{
	std::lock_guard<std::mutex> lock(mutex);
	calldata_set_ptr(cd, "ph", handler);
}

void registerVendor(void *, calldata_t *cd)
{
	std::lock_guard<std::mutex> lock(mutex);
	vendors.push_back(std::make_unique<Vendor>(Vendor{calldata_string(cd, "name")}));
	calldata_set_ptr(cd, "vendor", vendors.back().get());
}

void registerRequest(void *, calldata_t *cd)
{
	auto *vendor = static_cast<Vendor *>(calldata_ptr(cd, "vendor"));
	auto *callback = static_cast<obs_websocket_request_callback *>(calldata_ptr(cd, "callback"));
	const char *type = calldata_string(cd, "type");
	bool added = false;
	if (vendor && callback && type) {
		std::lock_guard<std::mutex> lock(mutex);
		// The module hands over a callback record of its own stack: keep a copy, as the server does.
		added = requests.emplace(std::make_pair(vendor->name, std::string(type)), *callback).second;
	}
	calldata_set_bool(cd, "success", added);
}

void emitEvent(void *, calldata_t *cd)
{
	auto *vendor = static_cast<Vendor *>(calldata_ptr(cd, "vendor"));
	auto *data = static_cast<obs_data_t *>(calldata_ptr(cd, "data"));
	const char *type = calldata_string(cd, "type");
	if (vendor && type) {
		const char *json = data ? obs_data_get_json(data) : "{}";
		std::lock_guard<std::mutex> lock(mutex);
		events.append(Event{QString::fromStdString(vendor->name), QString::fromUtf8(type),
				    QJsonDocument::fromJson(QByteArray(json)).object()});
	}
	calldata_set_bool(cd, "success", vendor && type);
}

} // namespace

void install()
{
	std::lock_guard<std::mutex> lock(mutex);
	if (handler)
		return;
	handler = proc_handler_create();
	proc_handler_add(handler, "void vendor_register(in string name, out ptr vendor)", registerVendor, nullptr);
	proc_handler_add(handler,
			 "void vendor_request_register(in ptr vendor, in string type, in ptr callback, "
			 "out bool success)",
			 registerRequest, nullptr);
	proc_handler_add(handler,
			 "void vendor_event_emit(in ptr vendor, in string type, in ptr data, out bool success)",
			 emitEvent, nullptr);
	// libobs keeps a procedure once added; after uninstall it answers that there is no server.
	if (!globalProcAdded)
		proc_handler_add(obs_get_proc_handler(), "void obs_websocket_api_get_ph(out ptr ph)", getHandler,
				 nullptr);
	globalProcAdded = true;
}

void uninstall()
{
	std::lock_guard<std::mutex> lock(mutex);
	proc_handler_destroy(handler);
	handler = nullptr;
}

struct Call::State {
	std::mutex mutex;
	std::condition_variable changed;
	bool finished = false;
	QJsonObject answer;
	std::thread thread;
};

Call::Call(const QString &vendor, const QString &type, const QJsonObject &data) : state(std::make_shared<State>())
{
	obs_websocket_request_callback callback = {nullptr, nullptr};
	{
		std::lock_guard<std::mutex> lock(mutex);
		auto it = requests.find({vendor.toStdString(), type.toStdString()});
		if (it != requests.end())
			callback = it->second;
	}
	const QByteArray json = QJsonDocument(data).toJson(QJsonDocument::Compact);
	state->thread = std::thread([s = state, callback, json]() {
		QJsonObject answer;
		if (callback.callback) {
			OBSDataAutoRelease request = obs_data_create_from_json(json.constData());
			OBSDataAutoRelease response = obs_data_create();
			callback.callback(request, response, callback.priv_data);
			answer = QJsonDocument::fromJson(QByteArray(obs_data_get_json(response))).object();
		} else {
			answer[QStringLiteral("standInError")] = QStringLiteral("no such vendor request");
		}
		std::lock_guard<std::mutex> lock(s->mutex);
		s->answer = answer;
		s->finished = true;
		s->changed.notify_all();
	});
}

Call::~Call()
{
	if (state->thread.joinable())
		state->thread.join();
}

bool Call::finished() const
{
	std::lock_guard<std::mutex> lock(state->mutex);
	return state->finished;
}

QJsonObject Call::answer()
{
	QElapsedTimer waited;
	waited.start();
	while (!finished() && waited.elapsed() < 10000)
		QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
	std::lock_guard<std::mutex> lock(state->mutex);
	return state->answer;
}

QJsonObject Call::answerWithoutEvents(int timeoutMs)
{
	std::unique_lock<std::mutex> lock(state->mutex);
	state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this]() { return state->finished; });
	return state->answer;
}

QJsonObject call(const QString &vendor, const QString &type, const QJsonObject &data)
{
	Call request(vendor, type, data);
	return request.answer();
}

QList<Event> takeEvents()
{
	std::lock_guard<std::mutex> lock(mutex);
	return std::exchange(events, {});
}

} // namespace testwebsocket
