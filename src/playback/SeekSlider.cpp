#include "playback/SeekSlider.hpp"

#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionSlider>

#include <algorithm>
#include <cmath>

void SeekSlider::mousePressEvent(QMouseEvent *event)
{
	if (event->button() == Qt::LeftButton) {
		QStyleOptionSlider option;
		initStyleOption(&option);
		const QRect handle = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
		const QPointF pos = event->position();
		const QPoint p(int(std::round(pos.x())), int(std::round(pos.y())));
		if (!handle.contains(p)) {
			const QRect groove =
				style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
			const int offset = p.x() - handle.width() / 2 - groove.left();
			const int span = std::max(0, groove.width() - handle.width());
			setValue(QStyle::sliderValueFromPosition(minimum(), maximum(), offset, span, option.upsideDown));
		}
	}
	// After a jump the handle is under the pointer, so the base class starts an ordinary drag.
	QSlider::mousePressEvent(event);
}
