#include "dock/Tracklane.hpp"
#include "tracks/TrackItem.hpp"
#include "tracks/TrackListWidget.hpp"

#include <QHash>
#include <QItemSelectionModel>
#include <QListWidget>
#include <QMenu>

#include <algorithm>

namespace {

// Undoes the refill's changes to the list on every way out of the rebuild.
class ListRefillGuard {
public:
	// The list's model stays silent until the refill is done: the view hears of it once, by a reset,
	// instead of once per row put in.
	ListRefillGuard(QListWidget *list, bool &rebuilding)
		: list(list),
		  rebuilding(rebuilding),
		  wasBlocked(list->blockSignals(true)),
		  modelWasBlocked(list->model()->blockSignals(true))
	{
		rebuilding = true;
		list->setUpdatesEnabled(false);
	}

	~ListRefillGuard()
	{
		finishRefill();
		list->blockSignals(wasBlocked);
	}

	void finishRefill()
	{
		if (!rebuilding)
			return;
		list->model()->blockSignals(modelWasBlocked);
		list->reset();
		list->setUpdatesEnabled(true);
		rebuilding = false;
	}

	ListRefillGuard(const ListRefillGuard &) = delete;
	ListRefillGuard &operator=(const ListRefillGuard &) = delete;

private:
	QListWidget *list;
	bool &rebuilding;
	bool wasBlocked;
	bool modelWasBlocked;
};

} // namespace

void Tracklane::rebuildTrackList(const QString &selectId)
{
	ListRefillGuard guard(trackList, rebuildingList);
	++tracksStamp;
	trackList->clear();
	filterHidesRows = false;

	// The rebuild never looks at the disk: figures the list already knows stand in for any other
	// entry with the same path, and the rest are looked at by the worker threads, once per
	// distinct path; the rows show them as they arrive. Only a list with entries still to look at
	// needs the cache.
	QHash<QString, FileFigures> known;
	QHash<QString, qsizetype> jobOfPath;
	QList<FileProbe::Job> jobs;
	const bool probing = std::any_of(tracks.cbegin(), tracks.cend(), [](const TrackEntry &entry) {
		return entry.sizeBytes == SizeNotProbed || entry.durationMs == DurationNotProbed;
	});
	if (probing) {
		// Sized once for a list that is all new (a load), rather than grown step by step.
		jobOfPath.reserve(tracks.size());
		jobs.reserve(tracks.size());
		probesAwaited.reserve(probesAwaited.size() + tracks.size());
		for (const TrackEntry &entry : std::as_const(tracks)) {
			if (entry.sizeBytes != SizeNotProbed && entry.durationMs != DurationNotProbed)
				known.insert(entry.path, FileFigures{entry.sizeBytes, entry.durationMs});
		}
	}

	QListWidgetItem *selectItem = nullptr;
	int row = 0;
	for (TrackEntry &entry : tracks) {
		if (probing)
			takeKnownFigures(entry, row, known, jobOfPath, jobs);
		++row;

		auto *item = new TrackItem(entry, entry.id == currentTrackId);
		trackList->addItem(item);

		if (!selectId.isEmpty() && entry.id == selectId)
			selectItem = item;
	}

	guard.finishRefill();
	// Made current once the view knows the new rows, so that the selection it keeps is theirs.
	if (selectItem)
		trackList->setCurrentItem(selectItem, QItemSelectionModel::ClearAndSelect);
	applyFilter();
	queueFileProbes(std::move(jobs));
}

void Tracklane::syncTracksFromList()
{
	if (rebuildingList)
		return;

	tracks.clear();
	++tracksStamp;
	const int count = trackList->count();
	tracks.reserve(count);
	bool strayRows = false;
	for (int row = 0; row < count; ++row) {
		const QListWidgetItem *item = trackList->item(row);
		TrackEntry entry{item->data(TrackIdRole).toString(), item->data(TrackPathRole).toString(),
				 item->data(TrackSizeRole).toLongLong(), DurationNotProbed};
		const QVariant duration = item->data(TrackDurationRole);
		if (duration.isValid())
			entry.durationMs = duration.toLongLong();
		// A row with no track behind it would be saved as one, and a saved list with such an entry
		// is thrown away on the next load.
		if (entry.id.isEmpty() || entry.path.isEmpty()) {
			strayRows = true;
			continue;
		}
		tracks.append(entry);
	}
	if (strayRows)
		rebuildTrackList(selectedTrackId());

	saveSourceState();
	updateTransportControls();
	clearMessage();
}

QString Tracklane::selectedTrackId() const
{
	const QListWidgetItem *item = trackList->currentItem();
	if (!item || item->isHidden())
		return QString();
	return item->data(TrackIdRole).toString();
}

int Tracklane::currentTrackIndex() const
{
	if (currentTrackId.isEmpty())
		return -1;
	// Ids are unique within the list, so a hint that still names the current track is its index;
	// the poll asks this several times a second on lists of thousands of tracks.
	const qsizetype hint = currentTrackIndexHint;
	if (hint >= 0 && hint < tracks.size() && tracks[hint].id == currentTrackId)
		return int(hint);
	for (int i = 0; i < tracks.size(); ++i) {
		if (tracks[i].id == currentTrackId) {
			currentTrackIndexHint = i;
			return i;
		}
	}
	return -1;
}

void Tracklane::markCurrentTrack(const QString &trackId, const QString &previousId)
{
	// While the operator holds the list (a drag above all, or its menu open, which acts on the rows
	// selected when it is chosen from) the selection is theirs: the marker moves, the selection stays.
	const bool held = static_cast<TrackListWidget *>(trackList)->heldByPointer() || listMenu->isVisible();
	const int count = trackList->count();
	for (int row = 0; row < count; ++row) {
		QListWidgetItem *item = trackList->item(row);
		const QString id = item->data(TrackIdRole).toString();
		const QString path = item->data(TrackPathRole).toString();
		if (!trackId.isEmpty() && id == trackId) {
			item->setText(trackDisplayText(path, true));
			if (!held)
				trackList->setCurrentItem(item, QItemSelectionModel::ClearAndSelect);
		} else if (!previousId.isEmpty() && id == previousId) {
			item->setText(trackDisplayText(path, false));
		}
	}
}
