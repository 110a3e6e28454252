#pragma once

#include <QListWidget>
#include <QStringList>

// The track list's view. Qt's internal move drops the rows that are selected when the drop comes,
// but the drag runs an event loop of its own, in which track loads and rebuilds change the
// selection; the view remembers which tracks its drag carries, and whether the pointer holds it.
class TrackListWidget : public QListWidget {
public:
	using QListWidget::QListWidget;

	// The ids of the tracks the drag now running from this list carries; empty when none runs.
	const QStringList &draggedTrackIds() const { return dragged; }
	// Whether a left press on the list, or a drag from it, is under way: the selection is the
	// operator's until the button comes up.
	bool heldByPointer() const;

protected:
	void mousePressEvent(QMouseEvent *event) override;
	void mouseReleaseEvent(QMouseEvent *event) override;
	void startDrag(Qt::DropActions supportedActions) override;

private:
	QStringList dragged;
	bool pressed = false;
	bool dragging = false;
};
