#pragma once

#include "dock/Tracklane.hpp"
#include "module/NowPlaying.hpp"

#include <QJsonObject>
#include <QString>

#include <cstddef>

namespace tracklane::remote {

// The remote requests and what they answer, as JSON; the hand-over between obs-websocket's thread
// and the UI thread is RemoteControl's. Handlers run on the UI thread, offUi on the request's own
// thread once the handler's answer came back.
using Outcome = Tracklane::Outcome;
using Handler = QJsonObject (*)(Tracklane &dock, const QJsonObject &args);

struct Request {
	const char *type;
	Handler handler;
	void (*offUi)(QJsonObject &out) = nullptr;
};

extern const Request requests[];
extern const std::size_t requestCount;

QJsonObject answer(Outcome outcome);
QString stateName(int state);
TrackTags tagsOf(const Tracklane::TrackInfo &track, quint64 start);
QJsonObject trackObject(const Tracklane::TrackInfo &track, const TrackTags *tags = nullptr);

} // namespace tracklane::remote
