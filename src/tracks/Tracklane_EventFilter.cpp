#include "dock/Tracklane.hpp"
#include "tracks/TrackDelegate.hpp"
#include "tracks/TrackListWidget.hpp"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QItemSelection>
#include <QKeySequence>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QScreen>
#include <QSet>
#include <QShortcut>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QToolTip>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace {

bool isPlainEscape(void *data, size_t, obs_hotkey_binding_t *binding)
{
	const obs_key_combination_t combo = obs_hotkey_binding_get_key_combination(binding);
	if (combo.key == OBS_KEY_ESCAPE && combo.modifiers == 0) {
		*static_cast<bool *>(data) = true;
		return false;
	}
	return true;
}

// A host hotkey on plain Escape wins: the operator set it up deliberately, and swallowing the
// key here would silently break it while the dock has the focus.
bool hostBindsPlainEscape()
{
	bool found = false;
	obs_enum_hotkey_bindings(isPlainEscape, &found);
	return found;
}

} // namespace

bool Tracklane::eventFilter(QObject *watched, QEvent *event)
{
	QWidget *viewport = trackList ? trackList->viewport() : nullptr;
	const QEvent::Type type = event->type();

	if (watched == viewport && type == QEvent::ToolTip)
		return showSizeTooltip(event);

	if ((type == QEvent::ShortcutOverride || type == QEvent::KeyPress) && handleDockKey(watched, event))
		return true;

	if ((watched == searchEdit || watched == trackList || watched == viewport) && type == QEvent::KeyPress) {
		const auto *key = static_cast<QKeyEvent *>(event);
		if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier && !hostBindsPlainEscape()) {
			searchEdit->clear();
			trackList->setFocus(Qt::ShortcutFocusReason);
			return true;
		}
	}

	if (watched == timeLabel && type == QEvent::MouseButtonRelease) {
		const auto *mouse = static_cast<QMouseEvent *>(event);
		const QPointF pos = mouse->position();
		const QPoint pixel(int(std::lround(pos.x())), int(std::lround(pos.y())));
		if (mouse->button() == Qt::LeftButton && timeLabel->rect().contains(pixel)) {
			toggleTimeDisplay();
			return true;
		}
	}

	if (watched == viewport && (type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop)) {
		auto *drop = static_cast<QDropEvent *>(event);
		const QObject *origin = drop->source();
		if (origin != trackList && origin != viewport) {
			if (drop->mimeData() && drop->mimeData()->hasUrls())
				return handleExternalDrag(event);
			// Rows dragged from another view (OBS's scene or source lists) carry no track; while a
			// filter turns dragging off, the list would otherwise take them in as rows of its own.
			drop->ignore();
			return true;
		}
		if (type == QEvent::Drop) {
			dropWithinList(drop);
			return true;
		}
	}

	return QObject::eventFilter(watched, event);
}

bool Tracklane::showSizeTooltip(QEvent *event)
{
	auto *help = static_cast<QHelpEvent *>(event);
	QListWidgetItem *item = trackList->itemAt(help->pos());
	if (item) {
		const QRect itemRect = trackList->visualItemRect(item);
		QStyleOptionViewItem base;
		base.initFrom(trackList);
		base.font = trackList->font();
		base.rect = itemRect;
		QStyleOptionViewItem option(base);
		const QModelIndex index = trackList->model()->index(trackList->row(item), 0);
		if (auto *delegate = qobject_cast<QStyledItemDelegate *>(trackList->itemDelegateForIndex(index))) {
			// The completion the delegate paints with is protected; reached through a member pointer
			// so that the delegate's own override (if any) still runs.
			struct Completer : QStyledItemDelegate {
				static auto member() { return &Completer::initStyleOption; }
			};
			(delegate->*Completer::member())(&option, index);
		}
		const QStyle *style = option.widget ? option.widget->style() : QApplication::style();
		const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &option, option.widget);
		const QRect hotRect = sizeColumnRect(textRect, option.fontMetrics).intersected(itemRect);

		if (hotRect.contains(help->pos())) {
			const QString path = item->data(TrackPathRole).toString();
			const QString local = localPathOf(path);
			QString text;
			if (local.isEmpty()) {
				text = QUrl(path, QUrl::TolerantMode)
					       .adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment |
							 QUrl::RemoveFilename)
					       .toDisplayString();
			} else {
				text = QDir::toNativeSeparators(QFileInfo(local).absolutePath());
			}
			text = singleLineText(text);

			int available = trackList->width();
			if (const QScreen *screen = QGuiApplication::screenAt(help->globalPos()))
				available = screen->availableGeometry().width();
			else if (const QScreen *own = trackList->screen())
				available = own->availableGeometry().width();
			const QString elided = QFontMetrics(QToolTip::font())
						       .elidedText(text, Qt::ElideMiddle, std::max(0, available - 48));

			QToolTip::showText(
				help->globalPos(),
				QStringLiteral("<p style='white-space:pre'>%1</p>").arg(elided.toHtmlEscaped()),
				trackList->viewport(), hotRect, -1);
			return true;
		}
	}

	QToolTip::hideText();
	event->ignore();
	return true;
}

bool Tracklane::handleExternalDrag(QEvent *event)
{
	auto *drop = static_cast<QDropEvent *>(event);
	const QList<QUrl> urls = drop->mimeData()->urls();

	bool anyLocal = false;
	for (const QUrl &url : urls) {
		if (url.isLocalFile()) {
			anyLocal = true;
			break;
		}
	}

	if (!anyLocal || !(drop->possibleActions() & Qt::CopyAction) || !dockActive()) {
		drop->ignore();
		return true;
	}

	if (event->type() != QEvent::Drop) {
		drop->setDropAction(Qt::CopyAction);
		drop->accept();
		return true;
	}

	QStringList paths;
	for (const QUrl &url : urls) {
		if (!url.isLocalFile())
			continue;
		const QString local = url.toLocalFile();
		if (QFileInfo(local).isFile())
			paths << local;
	}
	if (paths.isEmpty()) {
		drop->ignore();
		return true;
	}

	appendTracks(paths);
	drop->setDropAction(Qt::CopyAction);
	drop->accept();
	return true;
}

namespace {

// A key from the keypad also matches its plain binding, as in Qt's own shortcut map: keypad
// Delete is Delete, keypad Enter is Enter.
bool bindingMatches(const QList<QKeySequence> &bindings, QKeyCombination pressed)
{
	const QKeySequence exact(pressed);
	const QKeySequence plain(QKeyCombination(pressed.keyboardModifiers() & ~Qt::KeypadModifier, pressed.key()));
	for (const QKeySequence &binding : bindings) {
		if (binding == exact || binding == plain)
			return true;
	}
	return false;
}

bool within(const QWidget *scope, const QWidget *widget)
{
	return scope && widget && (scope == widget || scope->isAncestorOf(widget));
}

} // namespace

// OBS's main window binds some of the dock's keys too: Undo application-wide, and Ctrl+F (Fit to
// screen) while a source is selected. Qt fires neither of two enabled shortcuts on one key, so
// while the focus is inside the dock its own keys are claimed before the shortcut map sees them,
// and run here; each key only where its binding applies (the list's keys in the list, Find
// anywhere in the dock). A key claimed this way does nothing when its action is disabled: it never
// falls through to the host.
bool Tracklane::handleDockKey(QObject *watched, QEvent *event)
{
	auto *focus = qobject_cast<QWidget *>(watched);
	if (!focus || !isAncestorOf(focus))
		return false;
	auto *key = static_cast<QKeyEvent *>(event);
	if (key->key() == Qt::Key_unknown || key->key() == 0)
		return false;
	const QKeyCombination pressed = key->keyCombination();
	const bool press = event->type() == QEvent::KeyPress;

	const QList<QAction *> actions = findChildren<QAction *>();
	for (QAction *action : actions) {
		const QList<QKeySequence> bindings = action->shortcuts();
		if (bindings.isEmpty() || !bindingMatches(bindings, pressed))
			continue;
		const QList<QObject *> owners = action->associatedObjects();
		const bool applies = std::any_of(owners.cbegin(), owners.cend(), [focus](QObject *owner) {
			return !qobject_cast<QMenu *>(owner) && within(qobject_cast<QWidget *>(owner), focus);
		});
		if (!applies)
			continue;
		event->accept();
		if (press) {
			updateTransportControls();
			if (action->isEnabled())
				action->trigger();
		}
		return true;
	}

	const QList<QShortcut *> shortcuts = findChildren<QShortcut *>();
	for (QShortcut *shortcut : shortcuts) {
		if (!within(qobject_cast<QWidget *>(shortcut->parent()), focus) ||
		    !bindingMatches(shortcut->keys(), pressed))
			continue;
		event->accept();
		if (press && shortcut->isEnabled())
			Q_EMIT shortcut->activated();
		return true;
	}

	// OBS's main window binds the usual editing keys to its scene items too, and a floating dock
	// counts as part of that window: Ctrl+V in the list would paste a source into the scene on air,
	// Ctrl+Y redo a change to the scene. Inside the dock they stay with the focused control, which
	// acts on them as any Qt control does (the list copies its current row's text, selects all).
	// OBS binds Redo to Ctrl+Y everywhere; Qt's Redo on Linux is Ctrl+Shift+Z alone. Its Edit menu
	// also binds keys of its own to the selected scene items (centre, edit, reset and stretch the
	// transform, copy and paste it, move the item in the scene's order), which inside the dock would
	// change the picture on air.
	static const QList<QKeySequence> editingKeys = [] {
		QList<QKeySequence> keys{QKeySequence(Qt::CTRL | Qt::Key_Y)};
		for (const char *sceneItemKeys : {"Ctrl+D", "Ctrl+E", "Ctrl+R", "Ctrl+S", "Ctrl+Shift+C",
						  "Ctrl+Shift+V", "Ctrl+Up", "Ctrl+Down", "Ctrl+Home", "Ctrl+End"})
			keys += QKeySequence(QString::fromLatin1(sceneItemKeys), QKeySequence::PortableText);
		for (QKeySequence::StandardKey standard : {QKeySequence::Copy, QKeySequence::Cut, QKeySequence::Paste,
							   QKeySequence::Redo, QKeySequence::SelectAll})
			keys += QKeySequence::keyBindings(standard);
		return keys;
	}();
	if (!press && bindingMatches(editingKeys, pressed)) {
		event->accept();
		return true;
	}
	return false;
}

// Qt moves the rows of a drop one at a time, each with a signal of its own; the list is read
// back and saved once, after the whole drop. It moves the rows selected when the drop comes, which
// loads and rebuilds during the drag may have changed: the drop moves the tracks the drag carries,
// found again by id, and is refused when any of them has left the list meanwhile.
void Tracklane::dropWithinList(QDropEvent *drop)
{
	const QStringList dragged = static_cast<TrackListWidget *>(trackList)->draggedTrackIds();
	const QSet<QString> wanted(dragged.cbegin(), dragged.cend());
	// One range per run of adjacent rows: a drag of hundreds of rows is mostly one run.
	QItemSelection carried;
	const QAbstractItemModel *model = trackList->model();
	int found = 0;
	int runStart = -1;
	int runEnd = -1;
	const auto endRun = [&]() {
		if (runStart >= 0)
			carried.select(model->index(runStart, 0), model->index(runEnd, 0));
	};
	const int count = trackList->count();
	for (int row = 0; row < count && !wanted.isEmpty(); ++row) {
		if (!wanted.contains(trackList->item(row)->data(TrackIdRole).toString()))
			continue;
		++found;
		if (runStart < 0 || row != runEnd + 1) {
			endRun();
			runStart = row;
		}
		runEnd = row;
	}
	endRun();
	if (wanted.isEmpty() || found != wanted.size()) {
		drop->setDropAction(Qt::IgnoreAction);
		drop->ignore();
		trackList->viewport()->update();
		return;
	}
	trackList->selectionModel()->select(carried, QItemSelectionModel::ClearAndSelect);

	struct ListDrop : QListWidget {
		static auto member() { return &ListDrop::dropEvent; }
	};
	rebuildingList = true;
	(trackList->*ListDrop::member())(drop);
	rebuildingList = false;
	syncTracksFromList();
}
