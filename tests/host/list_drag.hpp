#pragma once

// A drag of a list's selected rows with the mouse, through the platform's own drag and drop: the
// press, the moves and the release are mouse events as a person's would be. The drag runs an
// event loop of its own until the button is let go, so the release is sent from inside it.

#include <QAbstractItemView>
#include <QTest>
#include <QTimer>

#include <functional>

// during() runs inside the drag's event loop, before the pointer moves on, as whatever else OBS
// runs meanwhile would.
inline void dragWithMouse(QAbstractItemView *view, const QPoint &from, const QPoint &to,
			  const std::function<void()> &during = {})
{
	QWidget *viewport = view->viewport();
	QTimer::singleShot(0, view, [viewport, to, during]() {
		if (during)
			during();
		QTest::mouseMove(viewport, to);
		QTest::mouseMove(viewport, to + QPoint(0, 1));
		QTest::mouseRelease(viewport, Qt::LeftButton, {}, to + QPoint(0, 1));
	});
	QTest::mousePress(viewport, Qt::LeftButton, {}, from);
	QTest::mouseMove(viewport, from + QPoint(0, 10));
	QTest::mouseMove(viewport, from + QPoint(0, 40));
}
