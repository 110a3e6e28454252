#pragma once

#include <QFontMetrics>
#include <QRect>
#include <QStyledItemDelegate>

// Paints a row as three columns: track number, name, and size or missing-file note.
class TrackDelegate : public QStyledItemDelegate {
public:
	using QStyledItemDelegate::QStyledItemDelegate;

	void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};

// The widest size text the column is laid out for.
extern const char SizeColumnTemplate[];

QString sizeText(qint64 sizeBytes);
QRect sizeColumnRect(const QRect &textRect, const QFontMetrics &metrics);
