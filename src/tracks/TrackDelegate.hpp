#pragma once

#include <QFontMetrics>
#include <QRect>
#include <QStyledItemDelegate>

// Paints a row as three columns: track number, name, and size (or duration) or missing-file note.
class TrackDelegate : public QStyledItemDelegate {
public:
	using QStyledItemDelegate::QStyledItemDelegate;

	void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;

	// The right-hand column shows the track's duration instead of its file's size.
	void setShowDurations(bool on) { durations = on; }

private:
	bool durations = false;
};

// The widest size text the column is laid out for.
extern const char SizeColumnTemplate[];

QString sizeText(qint64 sizeBytes);
// A duration as the column shows it: "—" while not looked at yet, "—:—" when unknown.
QString durationText(qint64 durationMs);
QRect sizeColumnRect(const QRect &textRect, const QFontMetrics &metrics);
