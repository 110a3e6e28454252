#include "tracks/TrackListWidget.hpp"
#include "tracks/TrackEntry.hpp"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPointer>

bool TrackListWidget::heldByPointer() const
{
	// A press whose release never came here (a popup took the pointer) ends with the button.
	return dragging || (pressed && (QGuiApplication::mouseButtons() & Qt::LeftButton));
}

void TrackListWidget::mousePressEvent(QMouseEvent *event)
{
	if (event->button() == Qt::LeftButton)
		pressed = true;
	QListWidget::mousePressEvent(event);
}

void TrackListWidget::mouseReleaseEvent(QMouseEvent *event)
{
	if (event->button() == Qt::LeftButton)
		pressed = false;
	QListWidget::mouseReleaseEvent(event);
}

void TrackListWidget::startDrag(Qt::DropActions supportedActions)
{
	// The rows Qt is about to put into the drag: the selected ones it may drag.
	QStringList ids;
	const QList<QListWidgetItem *> selected = selectedItems();
	for (const QListWidgetItem *entry : selected) {
		if (entry->flags() & Qt::ItemIsDragEnabled)
			ids.append(entry->data(TrackIdRole).toString());
	}
	dragged = ids;
	dragging = true;
	const QPointer<TrackListWidget> alive(this);
	QListWidget::startDrag(supportedActions);
	if (!alive)
		return;
	dragging = false;
	pressed = false;
	dragged.clear();
}
