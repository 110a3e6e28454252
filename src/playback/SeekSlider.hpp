#pragma once

#include <QSlider>

// A slider that jumps to where it is clicked instead of stepping a page towards it.
class SeekSlider : public QSlider {
public:
	using QSlider::QSlider;

protected:
	void mousePressEvent(QMouseEvent *event) override;
};
