#include "dock/Tracklane.hpp"
#include "module/plugin-module.hpp"

#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>

void Tracklane::addFilesFromDialog()
{
	obs_source_t *before = resolveBoundSource();
	if (!before)
		return;

	const QStringList picked = QFileDialog::getOpenFileNames(this, moduleQString("AddMediaTitle"), QString(),
								 moduleQString("MediaFileFilter"));

	// The dialog runs its own event loop: the operator may have picked another source meanwhile,
	// and the files were chosen for the one the dialog was opened for.
	obs_source_t *after = resolveBoundSource();
	if (after == before)
		appendTracks(picked);
	obs_source_release(after);
	obs_source_release(before);
}

void Tracklane::appendTracks(const QStringList &paths)
{
	if (paths.isEmpty() || !dockActive())
		return;

	for (const QString &path : paths)
		tracks.append(TrackEntry{newTrackId(), path, SizeNotProbed});

	const bool wasBlocked = searchEdit->blockSignals(true);
	searchEdit->clear();
	searchEdit->blockSignals(wasBlocked);

	rebuildTrackList(tracks.last().id);
	if (QListWidgetItem *item = trackList->currentItem())
		trackList->scrollToItem(item, QAbstractItemView::EnsureVisible);

	saveSourceState();
	clearMessage();
}
