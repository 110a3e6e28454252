#include "module/RemoteRequests.hpp"
#include "module/NowPlaying.hpp"
#include "tracks/TrackEntry.hpp"

#include <obs.h>

#include <QJsonArray>

#include <cmath>

namespace tracklane::remote {

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
QJsonObject trackObject(const Tracklane::TrackInfo &track, const TrackTags *tags)
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

namespace {

const char *const endModeNames[] = {"stop", "next", "repeat"};

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

} // namespace

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

const std::size_t requestCount = std::size(requests);

} // namespace tracklane::remote
