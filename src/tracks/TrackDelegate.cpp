#include "tracks/TrackDelegate.hpp"
#include "tracks/TrackEntry.hpp"
#include "module/plugin-main.hpp"
#include "dock/Tracklane.hpp"

#include <QApplication>
#include <QPainter>
#include <QStringList>
#include <QStyle>

const char SizeColumnTemplate[] = "1024.0 MiB";

namespace {

const QStringList &sizeUnits()
{
	static const QStringList units = {QStringLiteral("KiB"), QStringLiteral("MiB"), QStringLiteral("GiB"),
					  QStringLiteral("TiB"), QStringLiteral("PiB"), QStringLiteral("EiB")};
	return units;
}

int decimalDigits(int value)
{
	int digits = 1;
	while (value >= 10) {
		value /= 10;
		++digits;
	}
	return digits;
}

} // namespace

QString sizeText(qint64 sizeBytes)
{
	if (sizeBytes == SizeMissing)
		return moduleQString("MissingFile");
	if (sizeBytes < 0)
		return QString(QChar(0x2014));
	if (sizeBytes < 1024)
		return QString::number(sizeBytes) + QStringLiteral(" B");

	const QStringList &units = sizeUnits();
	double value = double(sizeBytes) / 1024.0;
	qsizetype unit = 0;
	while (value >= 1024.0 && unit + 1 < units.size()) {
		value /= 1024.0;
		++unit;
	}
	return QString::number(value, 'f', 1) + QLatin1Char(' ') + units[unit];
}

QString durationText(qint64 durationMs)
{
	if (durationMs == DurationNotProbed)
		return QString(QChar(0x2014));
	if (durationMs < 0)
		return QStringLiteral(u"\u2014:\u2014");
	return formatTime(durationMs);
}

QRect sizeColumnRect(const QRect &textRect, const QFontMetrics &metrics)
{
	const int width = metrics.horizontalAdvance(QString::fromLatin1(SizeColumnTemplate));
	return QRect(textRect.right() - width + 1, textRect.top(), width, textRect.height());
}

void TrackDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
	QStyleOptionViewItem opt(option);
	initStyleOption(&opt, index);

	const QWidget *widget = opt.widget;
	QStyle *style = widget ? widget->style() : QApplication::style();
	QRect nameRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);

	// The style paints background, selection and focus; the three columns are drawn here.
	const QString displayText = opt.text;
	opt.text.clear();
	style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

	QFont boldFont = opt.font;
	boldFont.setWeight(QFont::Bold);

	// As wide as the largest row number, so that every row's number lines up.
	const QAbstractItemModel *model = index.model();
	const int rowCount = model ? model->rowCount(QModelIndex()) : 0;
	const int numberWidth =
		QFontMetrics(boldFont).horizontalAdvance(QString(decimalDigits(rowCount), QLatin1Char('8')));
	const QRect numberRect(nameRect.left(), nameRect.top(), numberWidth, nameRect.height());
	nameRect.setLeft(numberRect.right() + 10);

	const QRect sizeRect = sizeColumnRect(nameRect, opt.fontMetrics);
	nameRect.setRight(sizeRect.left() - 12);

	const QPalette::ColorRole role = (opt.state & QStyle::State_Selected) ? QPalette::HighlightedText
									      : QPalette::Text;
	const bool enabled = (opt.state & QStyle::State_Enabled) != 0;
	const qint64 sizeBytes = model ? index.data(TrackSizeRole).toLongLong() : 0;

	painter->save();
	painter->setFont(boldFont);
	style->drawItemText(painter, numberRect, Qt::AlignRight | Qt::AlignVCenter, opt.palette, enabled,
			    QString::number(index.row() + 1), role);

	painter->setFont(sizeBytes == SizeMissing ? boldFont : opt.font);
	// A missing file says so in either mode.
	const QString figure = durations && sizeBytes != SizeMissing
				       ? durationText(model ? index.data(TrackDurationRole).toLongLong() : 0)
				       : sizeText(sizeBytes);
	style->drawItemText(painter, sizeRect, Qt::AlignRight | Qt::AlignVCenter, opt.palette, enabled, figure,
			    role);

	painter->setFont(opt.font);
	const QString elided =
		opt.fontMetrics.elidedText(singleLineText(displayText), opt.textElideMode, qMax(0, nameRect.width()));
	style->drawItemText(painter, nameRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, opt.palette,
			    enabled, elided, role);
	painter->restore();
}
