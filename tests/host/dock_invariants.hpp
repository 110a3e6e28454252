#pragma once

// Checks that hold for the dock whatever happened before: shared by the fuzz targets and the soak
// test. Each returns an empty string when the check holds and says what differs otherwise.

#include "test_access.hpp"
#include "source/playlist-data.hpp"

#include <obs.h>
#include <obs.hpp>

#include <QListWidget>
#include <QString>
#include <QStringList>

namespace invariants {

// Row i of the list stands for entry i of the model: same count, id and path.
inline QString listMismatch(Tracklane &dock)
{
	const QList<TrackEntry> &tracks = TA::tracks(dock);
	QListWidget *list = TA::trackList(dock);
	if (list->count() != tracks.size())
		return QStringLiteral("list has %1 rows, model %2 entries").arg(list->count()).arg(tracks.size());
	for (int row = 0; row < list->count(); ++row) {
		const QListWidgetItem *item = list->item(row);
		if (item->data(TrackIdRole).toString() != tracks[row].id ||
		    item->data(TrackPathRole).toString() != tracks[row].path)
			return QStringLiteral("row %1 shows %2 (%3), entry is %4 (%5)")
				.arg(row)
				.arg(item->data(TrackIdRole).toString(), item->data(TrackPathRole).toString(),
				     tracks[row].id, tracks[row].path);
	}
	return QString();
}

inline QStringList describe(const QList<TrackEntry> &tracks)
{
	QStringList out;
	for (const TrackEntry &t : tracks)
		out << t.id + QLatin1Char('=') + t.path;
	return out;
}

// The state object the dock keeps in the source's private settings, as raw JSON text (so that key
// order can be checked); empty when there is none.
inline QString stateJson(obs_source_t *source)
{
	OBSDataAutoRelease priv = obs_source_get_private_settings(source);
	OBSDataAutoRelease state = obs_data_get_obj(priv, "OBS-Tracklane");
	const QString json = state ? QString::fromUtf8(obs_data_get_json(state)) : QString();
	return json;
}

inline QStringList sourcePlaylist(obs_source_t *source)
{
	OBSDataAutoRelease settings = obs_source_get_settings(source);
	const QStringList playlist = readPlaylist(settings, "playlist");
	return playlist;
}

// Loads what the dock saved in the source into probe, a dock that is neither bound nor active (so
// it writes nothing back), and compares the result with the dock's own model. Only meaningful
// while the dock's last seen playlist is the source's playlist: otherwise a reload rightly
// imports the outside change.
inline QString reloadMismatch(Tracklane &dock, Tracklane &probe, obs_source_t *source)
{
	probe.loadSourceState(source, false);
	if (describe(TA::tracks(probe)) != describe(TA::tracks(dock)))
		return QStringLiteral("reloaded list [%1] differs from the model [%2]")
			.arg(describe(TA::tracks(probe)).join(QStringLiteral(", ")),
			     describe(TA::tracks(dock)).join(QStringLiteral(", ")));
	if (TA::currentTrackId(probe) != TA::currentTrackId(dock))
		return QStringLiteral("reloaded current track %1, model %2")
			.arg(TA::currentTrackId(probe), TA::currentTrackId(dock));
	if (TA::managed(probe) != TA::managed(dock))
		return QStringLiteral("reloaded managed flag differs");
	if (TA::endMode(probe) != TA::endMode(dock))
		return QStringLiteral("reloaded end mode %1, model %2").arg(TA::endMode(probe)).arg(TA::endMode(dock));
	if (TA::originalLoop(probe) != TA::originalLoop(dock) ||
	    TA::originalShuffle(probe) != TA::originalShuffle(dock) ||
	    TA::originalBehavior(probe) != TA::originalBehavior(dock))
		return QStringLiteral("reloaded original playlist options differ");
	if (TA::observedPlaylist(probe) != TA::observedPlaylist(dock))
		return QStringLiteral("reloaded observed playlist differs");
	return QString();
}

} // namespace invariants
