#include "module/RemoteControl.hpp"
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
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QTimer>

#include <chrono>
#include <cmath>
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

using Outcome = Tracklane::Outcome;
using Handler = QJsonObject (*)(Tracklane &dock, const QJsonObject &args);

QJsonObject answer(Outcome outcome)
{
	QJsonObject out;
	out[QStringLiteral("success")] = outcome == Outcome::Done;
	const char *error = nullptr;
	switch (outcome) {
	case Outcome::Done:
		break;
	case Outcome::Unbound:
		error = "unbound";
		break;
	case Outcome::UnknownTrack:
		error = "unknown track";
		break;
	case Outcome::MissingFile:
		error = "missing file";
		break;
	case Outcome::SwitchPending:
		error = "switch pending";
		break;
	case Outcome::BadArgument:
		error = "bad argument";
		break;
	}
	if (error)
		out[QStringLiteral("error")] = QString::fromLatin1(error);
	return out;
}

// obs-websocket's own names for media states (GetMediaInputStatus), so clients know them already.
QString stateName(int state)
{
	switch (state) {
	case OBS_MEDIA_STATE_PLAYING:
		return QStringLiteral("OBS_MEDIA_STATE_PLAYING");
	case OBS_MEDIA_STATE_OPENING:
		return QStringLiteral("OBS_MEDIA_STATE_OPENING");
	case OBS_MEDIA_STATE_BUFFERING:
		return QStringLiteral("OBS_MEDIA_STATE_BUFFERING");
	case OBS_MEDIA_STATE_PAUSED:
		return QStringLiteral("OBS_MEDIA_STATE_PAUSED");
	case OBS_MEDIA_STATE_STOPPED:
		return QStringLiteral("OBS_MEDIA_STATE_STOPPED");
	case OBS_MEDIA_STATE_ENDED:
		return QStringLiteral("OBS_MEDIA_STATE_ENDED");
	case OBS_MEDIA_STATE_ERROR:
		return QStringLiteral("OBS_MEDIA_STATE_ERROR");
	default:
		return QStringLiteral("OBS_MEDIA_STATE_NONE");
	}
}

const char *const endModeNames[] = {"stop", "next", "repeat"};

// The tags read for the track the dock started last, if that start is the given track's.
TrackTags tagsOf(const Tracklane::TrackInfo &track, quint64 start)
{
	const NowPlaying *now = nowPlaying();
	const TrackTags tags = now ? now->tags() : TrackTags();
	if (track.id.isEmpty() || tags.trackId != track.id || tags.start != start)
		return TrackTags();
	return tags;
}

// A track as requests and events describe it; with tags, also what its media file says of it.
QJsonObject trackObject(const Tracklane::TrackInfo &track, const TrackTags *tags = nullptr)
{
	QJsonObject out;
	out[QStringLiteral("id")] = track.id;
	out[QStringLiteral("number")] = track.number;
	out[QStringLiteral("path")] = track.path;
	out[QStringLiteral("name")] = track.name;
	if (tags) {
		out[QStringLiteral("title")] = tags->title;
		out[QStringLiteral("artist")] = tags->artist;
		out[QStringLiteral("album")] = tags->album;
		out[QStringLiteral("durationMs")] = tags->durationMs;
	}
	return out;
}

// An integer given as a JSON number without a fractional part.
bool integerArgument(const QJsonObject &args, const char *key, qint64 &value)
{
	const QJsonValue v = args.value(QLatin1String(key));
	if (!v.isDouble())
		return false;
	const double d = v.toDouble();
	if (!std::isfinite(d) || std::floor(d) != d || std::fabs(d) > 9.0e15)
		return false;
	value = qint64(d);
	return true;
}

QJsonObject getStatus(Tracklane &dock, const QJsonObject &)
{
	const Tracklane::StatusInfo status = dock.statusInfo();
	QJsonObject out = answer(Outcome::Done);
	out[QStringLiteral("bound")] = status.bound;
	out[QStringLiteral("sourceName")] = status.sourceName;
	out[QStringLiteral("sourceUuid")] = status.sourceUuid;
	out[QStringLiteral("mediaState")] = stateName(status.bound ? status.mediaState : OBS_MEDIA_STATE_NONE);
	const TrackTags tags = tagsOf(status.current, status.trackStarts);
	out[QStringLiteral("currentTrack")] = trackObject(status.current, &tags);
	out[QStringLiteral("elapsedMs")] = status.elapsedMs;
	out[QStringLiteral("durationMs")] = status.durationMs;
	out[QStringLiteral("endMode")] = QString::fromLatin1(endModeNames[qBound(0, status.endMode, 2)]);
	out[QStringLiteral("trackCount")] = status.trackCount;
	out[QStringLiteral("switchPending")] = status.switchPending;
	// What is known of the rest of the list; listRemainingUnknown tracks of it have no known length.
	if (status.listRemainingMs >= 0) {
		out[QStringLiteral("listRemainingMs")] = status.listRemainingMs;
		out[QStringLiteral("listRemainingUnknown")] = status.listRemainingUnknown;
	}
	return out;
}

QJsonObject getTracks(Tracklane &dock, const QJsonObject &)
{
	if (!dock.statusInfo().bound)
		return answer(Outcome::Unbound);
	QJsonArray list;
	// "missing" is filled in by checkTrackFiles, off the UI thread.
	const QList<Tracklane::TrackInfo> tracks = dock.trackInfos(false);
	for (const Tracklane::TrackInfo &track : tracks) {
		QJsonObject item = trackObject(track);
		if (track.durationMs >= 0)
			item[QStringLiteral("durationMs")] = track.durationMs;
		list.append(item);
	}
	QJsonObject out = answer(Outcome::Done);
	out[QStringLiteral("tracks")] = list;
	return out;
}

QJsonObject playTrack(Tracklane &dock, const QJsonObject &args)
{
	if (args.contains(QLatin1String("id"))) {
		const QJsonValue id = args.value(QLatin1String("id"));
		if (!id.isString() || id.toString().isEmpty())
			return answer(Outcome::BadArgument);
		return answer(dock.playTrackById(id.toString()));
	}
	qint64 number = 0;
	if (!integerArgument(args, "number", number))
		return answer(Outcome::BadArgument);
	if (!dock.statusInfo().bound)
		return answer(Outcome::Unbound);
	const QList<Tracklane::TrackInfo> tracks = dock.trackInfos(false);
	if (number < 1 || number > tracks.size())
		return answer(Outcome::UnknownTrack);
	return answer(dock.playTrackById(tracks[int(number - 1)].id));
}

template<Tracklane::Command command> QJsonObject runCommand(Tracklane &dock, const QJsonObject &)
{
	return answer(dock.runCommand(command));
}

QJsonObject seek(Tracklane &dock, const QJsonObject &args)
{
	qint64 ms = 0;
	if (!integerArgument(args, "ms", ms))
		return answer(Outcome::BadArgument);
	return answer(dock.seekTo(ms));
}

QJsonObject setEndMode(Tracklane &dock, const QJsonObject &args)
{
	const QJsonValue mode = args.value(QLatin1String("mode"));
	for (int i = 0; i < 3; ++i)
		if (mode.isString() && mode.toString() == QLatin1String(endModeNames[i]))
			return answer(dock.setEndMode(i));
	return answer(Outcome::BadArgument);
}

// Runs on the request's own thread after the handler's answer came back from the UI thread: a
// file-system check of every track, which on a slow disk must not hold up OBS's window.
void checkTrackFiles(QJsonObject &out)
{
	QJsonValueRef value = out[QStringLiteral("tracks")];
	if (!value.isArray())
		return;
	QJsonArray list = value.toArray();
	for (QJsonValueRef entry : list) {
		QJsonObject item = entry.toObject();
		item[QStringLiteral("missing")] = localFileMissing(item.value(QStringLiteral("path")).toString());
		entry = item;
	}
	value = list;
}

struct Request {
	const char *type;
	Handler handler;
	void (*offUi)(QJsonObject &out) = nullptr;
};

const Request requests[] = {
	{"GetStatus", getStatus},
	{"GetTracks", getTracks, checkTrackFiles},
	{"PlayTrack", playTrack},
	{"PlayPause", runCommand<Tracklane::Command::PlayPause>},
	{"Stop", runCommand<Tracklane::Command::Stop>},
	{"Previous", runCommand<Tracklane::Command::Previous>},
	{"Next", runCommand<Tracklane::Command::Next>},
	{"Seek", seek},
	{"SetEndMode", setEndMode},
	{"RestorePlaylist", runCommand<Tracklane::Command::RestorePlaylist>},
};

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
		for (const Request &request : requests)
			obs_websocket_vendor_register_request(vendor, request.type, onRequest,
							      const_cast<Request *>(&request));
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
