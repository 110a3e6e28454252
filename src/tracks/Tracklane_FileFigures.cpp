#include "dock/Tracklane.hpp"
#include "module/plugin-main.hpp"
#include "tracks/TrackDelegate.hpp"
#include "tracks/TrackItem.hpp"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>

namespace {

// How long the dock's exit waits for a worker that is inside a file; one on a dead mount is left.
constexpr int ProbeExitWaitMs = 100;

bool needsProbe(const TrackEntry &entry)
{
	return entry.sizeBytes == SizeNotProbed || (entry.sizeBytes >= 0 && entry.durationMs == DurationNotProbed);
}

} // namespace

void Tracklane::queueFileProbes(QList<FileProbe::Job> jobs)
{
	if (jobs.isEmpty() || closing)
		return;
	if (!fileProbe)
		fileProbe = std::make_unique<FileProbe>(this, [this](quint64 generation,
								     const QList<FileProbe::Result> &results) {
			applyFileFigures(generation, results);
		});
	fileProbe->enqueue(std::move(jobs));
}

void Tracklane::cancelFileProbes()
{
	if (fileProbe)
		fileProbe->cancel();
	probesAwaited.clear();
}

void Tracklane::stopFileProbes()
{
	if (fileProbe)
		fileProbe->shutdown(ProbeExitWaitMs);
	probesAwaited.clear();
}

bool Tracklane::fileProbesPending() const
{
	return !probesAwaited.isEmpty();
}

// Called by the rebuild for every entry, in list order; what it cannot fill in from the list itself
// goes into jobs, one per distinct path.
void Tracklane::takeKnownFigures(TrackEntry &entry, int row, QHash<QString, FileFigures> &known,
				 QHash<QString, qsizetype> &jobOfPath, QList<FileProbe::Job> &jobs)
{
	if (entry.durationMs == DurationNotProbed && (entry.sizeBytes == SizeMissing || entry.sizeBytes == SizeNotLocal))
		entry.durationMs = DurationUnknown;
	if (!needsProbe(entry))
		return;
	auto hit = known.constFind(entry.path);
	if (hit != known.cend()) {
		if (entry.sizeBytes == SizeNotProbed)
			entry.sizeBytes = hit->sizeBytes;
		if (entry.durationMs == DurationNotProbed)
			entry.durationMs = hit->durationMs;
		return;
	}
	if (probesAwaited.contains(entry.id))
		return;
	probesAwaited.insert(entry.id);
	auto job = jobOfPath.constFind(entry.path);
	if (job != jobOfPath.cend()) {
		jobs[*job].targets.append(FileProbe::Target{entry.id, row});
		return;
	}
	jobOfPath.insert(entry.path, jobs.size());
	jobs.append(FileProbe::Job{entry.path, {FileProbe::Target{entry.id, row}}});
}

void Tracklane::applyFileFigures(quint64 generation, const QList<FileProbe::Result> &results)
{
	if (closing || !fileProbe || generation != fileProbe->generation())
		return;

	// Most results find their track where it was asked for, or shifted by the same offset as the
	// one before (after a removal above it); only the rest need an index of the whole list.
	QHash<QString, int> indexOfId;
	bool indexed = false;
	qsizetype offset = 0;
	const auto at = [this](qsizetype i, const QString &id) {
		return i >= 0 && i < tracks.size() && tracks[i].id == id;
	};
	for (const FileProbe::Result &result : results) {
		for (const FileProbe::Target &target : result.targets) {
			probesAwaited.remove(target.trackId);
			qsizetype i = -1;
			if (at(target.rowHint, target.trackId)) {
				i = target.rowHint;
			} else if (at(target.rowHint + offset, target.trackId)) {
				i = target.rowHint + offset;
			} else {
				if (!indexed) {
					indexOfId.reserve(tracks.size());
					for (int k = 0; k < int(tracks.size()); ++k)
						indexOfId.insert(tracks[k].id, k);
					indexed = true;
				}
				i = indexOfId.value(target.trackId, -1);
				// Removed since it was asked for: nothing to show it on.
				if (i < 0)
					continue;
				offset = i - target.rowHint;
			}

			TrackEntry &entry = tracks[i];
			if (entry.sizeBytes == SizeNotProbed)
				entry.sizeBytes = result.figures.sizeBytes;
			if (entry.durationMs == DurationNotProbed)
				entry.durationMs = result.figures.durationMs;

			// Row i stands for entry i whenever the dock is idle, which it is between events.
			QListWidgetItem *item = i < trackList->count() ? trackList->item(int(i)) : nullptr;
			if (!item || item->data(TrackIdRole).toString() != entry.id) {
				item = nullptr;
				for (int row = 0; row < trackList->count() && !item; ++row)
					if (trackList->item(row)->data(TrackIdRole).toString() == entry.id)
						item = trackList->item(row);
			}
			if (auto *row = dynamic_cast<TrackItem *>(item))
				row->setFigures(entry.sizeBytes, entry.durationMs);
		}
	}
	++tracksStamp;
	// One repaint of what is on screen, not a change signal per row.
	trackList->viewport()->update();
	updateTrackCountLabel();
}

Tracklane::DurationTotals Tracklane::suffixTotals(qsizetype start) const
{
	// The poll asks four times a second; the sum over the list is made again only after the list
	// or its figures changed.
	TotalsCache &slot = totalsCache[start == 0 ? 0 : 1];
	if (slot.stamp == tracksStamp && slot.start == start)
		return slot.totals;
	DurationTotals totals;
	for (qsizetype i = std::max<qsizetype>(0, start); i < tracks.size(); ++i) {
		if (tracks[i].durationMs < 0)
			++totals.unknown;
		else
			totals.knownMs += tracks[i].durationMs;
	}
	slot = TotalsCache{tracksStamp, start, totals};
	return totals;
}

Tracklane::DurationTotals Tracklane::durationTotals(qsizetype from, qint64 currentPositionMs) const
{
	if (currentPositionMs < 0 || from < 0 || from >= tracks.size())
		return suffixTotals(std::max<qsizetype>(0, from));
	DurationTotals totals = suffixTotals(from + 1);
	// The source knows the playing track's length best, once it has opened it.
	const qint64 duration = durationMs > 0 ? durationMs : tracks[from].durationMs;
	if (duration < 0)
		++totals.unknown;
	else
		totals.knownMs += std::max<qint64>(0, duration - currentPositionMs);
	return totals;
}

QString Tracklane::durationTotalText(const DurationTotals &totals)
{
	if (totals.unknown > 0 && totals.knownMs == 0)
		return QStringLiteral(u"\u2014:\u2014");
	const QString known = formatTime(totals.knownMs);
	return totals.unknown > 0 ? moduleQString("DurationAtLeast").arg(known) : known;
}

void Tracklane::updateTrackCountLabel()
{
	const QString total = QString::number(tracks.size());
	QString text = searchEdit->text().trimmed().isEmpty()
			       ? moduleQString("TrackCount").arg(total)
			       : moduleQString("FilteredCount").arg(QString::number(filterMatches), total);
	if (!tracks.isEmpty()) {
		text += QStringLiteral(u" \u00B7 ") + durationTotalText(durationTotals(0, -1));
		const int current = currentTrackIndex();
		if (current >= 0)
			text += QStringLiteral(u" \u00B7 ") +
				moduleQString("RemainingInList")
					.arg(durationTotalText(durationTotals(current, listPositionMs)));
	}
	trackCountLabel->setText(text);
}

qint64 Tracklane::listRemainingMs(int *unknown) const
{
	const int current = currentTrackIndex();
	if (current < 0)
		return -1;
	const DurationTotals totals = durationTotals(current, listPositionMs);
	if (unknown)
		*unknown = totals.unknown;
	return totals.knownMs;
}

void Tracklane::setShowDurations(bool on)
{
	showDurations = on;
	if (auto *delegate = dynamic_cast<TrackDelegate *>(trackList->itemDelegate()))
		delegate->setShowDurations(on);
	if (showDurationsAction)
		showDurationsAction->setChecked(on);
	trackList->viewport()->update();
}
