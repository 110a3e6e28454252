#include "dock/Tracklane.hpp"
#include "module/plugin-main.hpp"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QSet>
#include <QUrl>

void Tracklane::showTrackContextMenu(const QPoint &pos)
{
	QPoint at = pos;
	if (trackList->viewport()->rect().contains(pos)) {
		QListWidgetItem *item = trackList->itemAt(pos);
		if (item && item->isSelected())
			trackList->setCurrentItem(item, QItemSelectionModel::NoUpdate);
		else
			trackList->setCurrentItem(item, QItemSelectionModel::ClearAndSelect);
	} else if (QListWidgetItem *current = trackList->currentItem()) {
		// Opened from the keyboard: show the menu at the row it acts on.
		at = trackList->visualItemRect(current).center();
	}

	updateTransportControls();

	listMenu->popup(trackList->viewport()->mapToGlobal(at));
}

void Tracklane::moveCurrentTrack(int offset)
{
	const int row = trackList->currentRow();
	const int target = row + offset;
	if (trackList->selectedItems().size() != 1 || !searchEdit->text().trimmed().isEmpty() || row < 0 ||
	    target < 0 || target >= trackList->count())
		return;

	rebuildingList = true;
	QListWidgetItem *item = trackList->takeItem(row);
	trackList->insertItem(target, item);
	trackList->setCurrentItem(item, QItemSelectionModel::ClearAndSelect);
	rebuildingList = false;

	syncTracksFromList();
}

void Tracklane::removeSelectedTracks()
{
	if (!dockActive())
		return;

	QSet<QString> ids;
	for (const QListWidgetItem *item : trackList->selectedItems()) {
		if (!item->isHidden())
			ids.insert(item->data(TrackIdRole).toString());
	}
	if (ids.isEmpty())
		return;

	removedTracks.clear();
	QList<TrackEntry> kept;
	kept.reserve(tracks.size());
	for (int i = 0; i < tracks.size(); ++i) {
		if (ids.contains(tracks[i].id))
			removedTracks.append(RemovedTrack{tracks[i], i});
		else
			kept.append(tracks[i]);
	}
	if (removedTracks.isEmpty())
		return;

	const int first = removedTracks.first().index;
	tracks = kept;

	bool stopped = false;
	if (ids.contains(currentTrackId) || tracks.isEmpty()) {
		// A switch still waiting is called off first, so that what it puts back cannot undo this.
		cancelPendingSwitch();
		managed = true;
		currentTrackId.clear();
		stopPlayback();
		stopped = true;
	}

	QString selectId;
	if (!tracks.isEmpty())
		selectId = tracks[std::min(first, int(tracks.size()) - 1)].id;
	rebuildTrackList(selectId);

	if (!stopped)
		saveSourceState();
	updateTransportControls();
	clearMessage();
}

void Tracklane::undoLastRemoval()
{
	if (!dockActive() || removedTracks.isEmpty())
		return;

	QList<TrackEntry> merged;
	merged.reserve(tracks.size() + removedTracks.size());
	int cursor = 0;
	for (const RemovedTrack &record : std::as_const(removedTracks)) {
		while (cursor < tracks.size() && merged.size() < record.index)
			merged.append(tracks[cursor++]);
		merged.append(record.entry);
	}
	while (cursor < tracks.size())
		merged.append(tracks[cursor++]);

	const QString keptId = removedTracks.first().entry.id;
	removedTracks.clear();
	tracks = merged;

	rebuildTrackList(keptId);
	saveSourceState();
	updateTransportControls();
	clearMessage();
}

void Tracklane::locateCurrentTrack()
{
	if (currentTrackIndex() < 0)
		return;

	searchEdit->clear();

	for (int row = 0; row < trackList->count(); ++row) {
		QListWidgetItem *item = trackList->item(row);
		if (item->data(TrackIdRole).toString() == currentTrackId) {
			trackList->setCurrentItem(item, QItemSelectionModel::ClearAndSelect);
			trackList->scrollToItem(item, QAbstractItemView::PositionAtCenter);
			trackList->setFocus(Qt::OtherFocusReason);
			break;
		}
	}
	clearMessage();
}

void Tracklane::openTrackFolder()
{
	if (!dockActive())
		return;
	QListWidgetItem *item = trackList->currentItem();
	if (!item || item->isHidden() || !item->isSelected() || trackList->selectedItems().size() != 1)
		return;

	const QString lp = localPathOf(item->data(TrackPathRole).toString());
	if (lp.isEmpty())
		return;

	const QFileInfo info(lp);
	const QString folder = info.absolutePath();
	// Windows's shell calls may pump the thread's messages while they wait for Explorer, and the
	// dock may be gone when they return.
	const QPointer<Tracklane> alive(this);
	const bool revealed = info.isFile() && revealInFileManager(info.absoluteFilePath());
	if (!alive)
		return;
	if (revealed) {
		clearMessage();
		return;
	}

	const bool opened = QDir(folder).exists() && QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
	if (!alive)
		return;
	if (!opened)
		showMessage(moduleQString("OpenFolderError").arg(folder));
	else
		clearMessage();
}

void Tracklane::focusSearch()
{
	searchEdit->setFocus(Qt::ShortcutFocusReason);
	searchEdit->selectAll();
}
