#include "dock/Tracklane.hpp"
#include "module/plugin-main.hpp"

#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollBar>
#include <QToolTip>

void Tracklane::applyFilter()
{
	QToolTip::hideText();
	const bool wasBlocked = trackList->blockSignals(true);

	const QString text = searchEdit->text().trimmed();
	const bool numberMode = text.startsWith(QLatin1Char('#'));
	bool numberOk = false;
	const int number = numberMode ? text.mid(1).toInt(&numberOk, 10) : 0;

	int matches = 0;
	QListWidgetItem *firstMatch = nullptr;
	const int count = trackList->count();
	if (text.isEmpty() && !filterHidesRows) {
		matches = count;
		firstMatch = trackList->item(0);
	} else {
		for (int row = 0; row < count; ++row) {
			QListWidgetItem *item = trackList->item(row);
			bool match;
			if (numberMode)
				match = numberOk && number == row + 1;
			else
				match = item->data(TrackPathRole).toString().indexOf(text, 0, Qt::CaseInsensitive) >= 0;
			item->setHidden(!match);
			if (match) {
				++matches;
				if (!firstMatch)
					firstMatch = item;
			}
		}
	}
	filterHidesRows = matches < count;

	// A new filter always starts on its first hit; clearing it keeps the operator's place.
	if (!text.isEmpty() || !trackList->currentItem()) {
		if (firstMatch) {
			trackList->setCurrentItem(firstMatch, QItemSelectionModel::ClearAndSelect);
			trackList->scrollToItem(firstMatch, QAbstractItemView::EnsureVisible);
		} else {
			trackList->setCurrentItem(nullptr, QItemSelectionModel::Clear);
			trackList->clearSelection();
		}
	}

	trackList->setDragEnabled(text.isEmpty());

	filterMatches = matches;
	updateTrackCountLabel();

	updateTransportControls();
	trackList->blockSignals(wasBlocked);
}

void Tracklane::saveViewState()
{
	OBSSourceAutoRelease source = resolveBoundSource();
	if (!source)
		return;
	const char *uuid = obs_source_get_uuid(source);
	const QString key = uuid ? QString::fromUtf8(uuid) : QString();

	ViewState state;
	state.selectedId = selectedTrackId();
	state.searchText = searchEdit->text().trimmed();
	state.scrollValue = trackList->verticalScrollBar()->value();
	viewStates.insert(key, state);
}

void Tracklane::restoreViewState(const QString &uuid)
{
	const auto found = viewStates.constFind(uuid);
	if (found == viewStates.cend())
		return;
	const ViewState state = found.value();
	if (state.searchText != searchEdit->text().trimmed())
		return;

	QListWidgetItem *target = nullptr;
	const int count = trackList->count();
	for (int row = 0; row < count && !state.selectedId.isEmpty(); ++row) {
		QListWidgetItem *item = trackList->item(row);
		if (!item->isHidden() && item->data(TrackIdRole).toString() == state.selectedId) {
			target = item;
			break;
		}
	}
	if (!target && !state.selectedId.isEmpty())
		return;

	const bool wasBlocked = trackList->blockSignals(true);
	trackList->setCurrentItem(target, QItemSelectionModel::ClearAndSelect);
	// The scroll range is only right once the new rows have been laid out.
	trackList->doItemsLayout();
	trackList->verticalScrollBar()->setValue(state.scrollValue);
	updateTransportControls();
	trackList->blockSignals(wasBlocked);
}
