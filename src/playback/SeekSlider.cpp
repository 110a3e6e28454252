#include "playback/SeekSlider.hpp"

void SeekSlider::mousePressEvent(QMouseEvent *event)
{
	QSlider::mousePressEvent(event);
}
