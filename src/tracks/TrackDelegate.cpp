#include "tracks/TrackDelegate.hpp"

const char SizeColumnTemplate[] = "1024.0 MiB";

QString sizeText(qint64 sizeBytes)
{
	return QString();
}

QRect sizeColumnRect(const QRect &textRect, const QFontMetrics &metrics)
{
	return QRect();
}

void TrackDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
	QStyledItemDelegate::paint(painter, option, index);
}
