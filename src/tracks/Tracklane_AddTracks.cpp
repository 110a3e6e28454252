#include "dock/Tracklane.hpp"
#include "module/plugin-main.hpp"

#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>

void Tracklane::addFilesFromDialog()
{
	// The dialog runs an event loop of its own, in which the host may switch or close the scene
	// collection, or exit and delete this dock. A strong reference held across it would keep the
	// source alive through the host's clear of the collection, so only a weak one is kept, and the
	// files go to the source only if it is still the one bound when the dialog returns.
	OBSWeakSourceAutoRelease chosenFor;
	{
		OBSSourceAutoRelease source = resolveBoundSource();
		if (!source)
			return;
		chosenFor = obs_source_get_weak_source(source);
	}

	const QPointer<Tracklane> alive(this);
	// A dialog of the dock's own rather than Qt's static helper, whose parent must not be deleted
	// while it runs; this one simply goes with the dock.
	const QPointer<QFileDialog> dialog =
		new QFileDialog(this, moduleQString("AddMediaTitle"), QString(), moduleQString("MediaFileFilter"));
	dialog->setFileMode(QFileDialog::ExistingFiles);
	const bool accepted = dialog->exec() == QDialog::Accepted;
	const QStringList picked = accepted && dialog ? dialog->selectedFiles() : QStringList();
	delete dialog.data();

	if (alive) {
		OBSSourceAutoRelease now = resolveBoundSource();
		if (now && obs_weak_source_references_source(chosenFor, now))
			appendTracks(picked);
	}
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
