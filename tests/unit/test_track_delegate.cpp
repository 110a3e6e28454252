#include "test_host.hpp"
#include "module/plugin-main.hpp"
#include "tracks/TrackDelegate.hpp"
#include "tracks/TrackEntry.hpp"

#include <QApplication>
#include <QImage>
#include <QListWidget>
#include <QPainter>
#include <QStyleFactory>
#include <QTest>

#include <limits>

namespace {

// Rows are painted in pure colours on white so that text can be told from background by colour.
const QColor TextColor(255, 0, 0);
const QColor HighlightedColor(0, 0, 255);
const QColor DisabledColor(0, 170, 0);

enum class Ink { Text, Highlighted, Disabled };

bool isInk(QRgb pixel, Ink ink)
{
	const int r = qRed(pixel), g = qGreen(pixel), b = qBlue(pixel);
	switch (ink) {
	case Ink::Text:
		return r > 150 && g < 110 && b < 110;
	case Ink::Highlighted:
		return b > 150 && r < 110 && g < 110;
	case Ink::Disabled:
		return g > 100 && r < 80 && b < 80;
	}
	return false;
}

struct Span {
	int left;
	int right;
	int width() const { return right - left + 1; }
};

// Runs of columns holding ink within rows [top, bottom), merged when closer than minGap.
QList<Span> inkSpans(const QImage &image, int top, int bottom, Ink ink, int minGap = 9)
{
	QList<Span> spans;
	for (int x = 0; x < image.width(); ++x) {
		bool found = false;
		for (int y = top; y < bottom && !found; ++y)
			found = isInk(image.pixel(x, y), ink);
		if (!found)
			continue;
		if (!spans.isEmpty() && x - spans.last().right <= minGap)
			spans.last().right = x;
		else
			spans.append({x, x});
	}
	return spans;
}

int inkPixels(const QImage &image, int top, int bottom, Ink ink)
{
	int count = 0;
	for (int y = top; y < bottom; ++y) {
		for (int x = 0; x < image.width(); ++x)
			count += isInk(image.pixel(x, y), ink);
	}
	return count;
}

// Lowest and highest image row holding ink within columns [left, right].
Span inkRows(const QImage &image, int left, int right, Ink ink)
{
	Span rows{image.height(), -1};
	for (int y = 0; y < image.height(); ++y) {
		for (int x = qMax(0, left); x <= qMin(right, image.width() - 1); ++x) {
			if (isInk(image.pixel(x, y), ink)) {
				rows.left = qMin(rows.left, y);
				rows.right = qMax(rows.right, y);
			}
		}
	}
	return rows;
}

QPalette testPalette()
{
	QPalette palette;
	for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
		const bool disabled = group == QPalette::Disabled;
		palette.setColor(group, QPalette::Text, disabled ? DisabledColor : TextColor);
		palette.setColor(group, QPalette::HighlightedText, disabled ? DisabledColor : HighlightedColor);
		palette.setColor(group, QPalette::WindowText, disabled ? DisabledColor : TextColor);
		palette.setColor(group, QPalette::Base, Qt::white);
		palette.setColor(group, QPalette::AlternateBase, Qt::white);
		palette.setColor(group, QPalette::Window, Qt::white);
		palette.setColor(group, QPalette::Highlight, QColor(230, 230, 230));
		palette.setColor(group, QPalette::Light, Qt::white);
	}
	return palette;
}

QFont testFont()
{
	QFont font(QStringLiteral("DejaVu Sans"));
	font.setPixelSize(13);
	return font;
}

constexpr int RowHeight = 24;
constexpr int RowWidth = 520;

// A list of the given names and sizes, painted by the track delegate.
struct Rows {
	QListWidget list;
	TrackDelegate *delegate;

	Rows(const QList<QPair<QString, qint64>> &rows) : delegate(new TrackDelegate(&list))
	{
		list.setItemDelegate(delegate);
		list.setFont(testFont());
		for (const auto &row : rows) {
			auto *item = new QListWidgetItem(row.first);
			item->setData(TrackSizeRole, QVariant::fromValue<qint64>(row.second));
			list.addItem(item);
		}
	}

	// Paints one row into the middle band of an image three rows high.
	QImage paint(int row, bool selected = false, bool enabled = true)
	{
		QStyleOptionViewItem option;
		option.initFrom(&list);
		option.widget = &list;
		option.font = testFont();
		option.fontMetrics = QFontMetrics(option.font);
		option.rect = QRect(0, RowHeight, RowWidth, RowHeight);
		option.textElideMode = Qt::ElideRight;
		option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
		option.palette = testPalette();
		option.palette.setCurrentColorGroup(enabled ? QPalette::Active : QPalette::Disabled);
		option.state = QStyle::State_Active;
		if (enabled)
			option.state |= QStyle::State_Enabled;
		if (selected)
			option.state |= QStyle::State_Selected;

		QImage image(RowWidth, 3 * RowHeight, QImage::Format_ARGB32_Premultiplied);
		image.fill(Qt::white);
		QPainter painter(&image);
		delegate->paint(&painter, option, list.model()->index(row, 0));
		painter.end();
		return image;
	}
};

QList<QPair<QString, qint64>> numbered(int count)
{
	QList<QPair<QString, qint64>> rows;
	for (int i = 0; i < count; ++i)
		rows.append({QStringLiteral("song.mp3"), 1536});
	return rows;
}

int templateWidth()
{
	return QFontMetrics(testFont()).horizontalAdvance(QString::fromLatin1(SizeColumnTemplate));
}

} // namespace

class TrackDelegateTest : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void initTestCase() { QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion"))); }

	void sizeTexts_data()
	{
		QTest::addColumn<qint64>("bytes");
		QTest::addColumn<QString>("text");
		const QString dash(QChar(0x2014));
		QTest::newRow("missing") << SizeMissing << moduleQString("MissingFile");
		QTest::newRow("not local") << SizeNotLocal << dash;
		QTest::newRow("not probed") << SizeNotProbed << dash;
		QTest::newRow("other negative") << qint64(-4) << dash;
		QTest::newRow("most negative") << std::numeric_limits<qint64>::min() << dash;
		QTest::newRow("zero") << qint64(0) << "0 B";
		QTest::newRow("1023") << qint64(1023) << "1023 B";
		QTest::newRow("1024") << qint64(1024) << "1.0 KiB";
		QTest::newRow("1536") << qint64(1536) << "1.5 KiB";
		QTest::newRow("1048575") << qint64(1048575) << "1024.0 KiB";
		QTest::newRow("1048576") << qint64(1048576) << "1.0 MiB";
		QTest::newRow("5.25 GiB") << qint64(5637144576) << "5.3 GiB";
		QTest::newRow("1 TiB") << (qint64(1) << 40) << "1.0 TiB";
		QTest::newRow("1 PiB") << (qint64(1) << 50) << "1.0 PiB";
		QTest::newRow("1 EiB") << (qint64(1) << 60) << "1.0 EiB";
		QTest::newRow("2^62") << (qint64(1) << 62) << "4.0 EiB";
		QTest::newRow("largest") << std::numeric_limits<qint64>::max() << "8.0 EiB";
	}

	void sizeTexts()
	{
		QFETCH(qint64, bytes);
		QFETCH(QString, text);
		QCOMPARE(sizeText(bytes), text);
	}

	void sizeTextIgnoresLocale()
	{
		const QLocale saved;
		QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
		const QString text = sizeText(1536);
		QLocale::setDefault(saved);
		QCOMPARE(text, QStringLiteral("1.5 KiB"));
	}

	void sizeColumnIsRightAligned()
	{
		const QFontMetrics metrics(testFont());
		const int w = templateWidth();
		QVERIFY(w > 20);
		for (const QRect &text : {QRect(10, 5, 300, 20), QRect(-4, 0, 17, 9), QRect(0, 0, 0, 0)}) {
			const QRect column = sizeColumnRect(text, metrics);
			QCOMPARE(column.right(), text.right());
			QCOMPARE(column.width(), w);
			QCOMPARE(column.top(), text.top());
			QCOMPARE(column.height(), text.height());
		}
	}

	void columnsDoNotOverlap()
	{
		const QString longName = QString(300, QLatin1Char('n')) + QStringLiteral(".mp3");
		Rows rows({{QStringLiteral("short.mp3"), 1536}, {longName, 1536}, {longName, SizeMissing}});
		const int w = templateWidth();
		const QFontMetrics metrics(testFont());

		for (int row = 0; row < 3; ++row) {
			const QImage image = rows.paint(row);
			const QList<Span> spans = inkSpans(image, 0, image.height(), Ink::Text);
			QCOMPARE(spans.size(), 3);
			const Span number = spans[0], name = spans[1], size = spans[2];

			// The size column ends at the right of the text area and is as wide as the template.
			QVERIFY2(size.right > RowWidth - 12, qPrintable(QString::number(size.right)));
			const int sizeColumnLeft = size.right - w + 1;
			QVERIFY(size.left >= sizeColumnLeft - 1);
			QVERIFY2(name.right <= sizeColumnLeft - 12 + 1,
				 qPrintable(QStringLiteral("name ends at %1, size column starts at %2")
						    .arg(name.right)
						    .arg(sizeColumnLeft)));
			QVERIFY(name.left - number.right >= 9);

			if (row > 0) {
				// A long name is elided to fill its column, not cut short or drawn over the size.
				const int ellipsisAndChar = metrics.horizontalAdvance(QStringLiteral(u"n\u2026"));
				QVERIFY2(name.right >= sizeColumnLeft - 12 - ellipsisAndChar - 2,
					 qPrintable(QString::number(name.right)));
				// It ends in the ellipsis: three dots on the base line, much lower than an "n".
				const int dots = metrics.horizontalAdvance(QString(QChar(0x2026)));
				const Span tail = inkRows(image, name.right - dots / 2, name.right, Ink::Text);
				const Span letters = inkRows(image, name.left + dots, name.left + 3 * dots, Ink::Text);
				QVERIFY2(tail.width() * 2 < letters.width(),
					 qPrintable(QStringLiteral("%1 vs %2").arg(tail.width()).arg(letters.width())));
			}
		}
	}

	void missingNoteIsBold()
	{
		Rows rows({{QStringLiteral("gone.mp3"), SizeMissing}, {QStringLiteral("url"), SizeNotLocal}});
		const QString note = moduleQString("MissingFile");
		QFont bold = testFont();
		bold.setWeight(QFont::Bold);
		const int regularWidth = QFontMetrics(testFont()).tightBoundingRect(note).width();
		const int boldWidth = QFontMetrics(bold).tightBoundingRect(note).width();
		QVERIFY(boldWidth - regularWidth >= 3);

		const QImage missing = rows.paint(0);
		const QList<Span> spans = inkSpans(missing, 0, missing.height(), Ink::Text);
		QCOMPARE(spans.size(), 3);
		// Edge pixels are too faint to count as ink, so compare with both weights.
		const int measured = spans[2].width();
		QVERIFY2(qAbs(measured - boldWidth) < qAbs(measured - regularWidth),
			 qPrintable(QStringLiteral("%1 vs bold %2, regular %3")
					    .arg(measured)
					    .arg(boldWidth)
					    .arg(regularWidth)));

		const QImage dash = rows.paint(1);
		const QList<Span> dashSpans = inkSpans(dash, 0, dash.height(), Ink::Text);
		QCOMPARE(dashSpans.size(), 3);
		const int dashWidth = QFontMetrics(testFont()).tightBoundingRect(QString(QChar(0x2014))).width();
		QVERIFY2(qAbs(dashSpans[2].width() - dashWidth) <= 2,
			 qPrintable(QStringLiteral("%1 vs %2").arg(dashSpans[2].width()).arg(dashWidth)));
	}

	void numberColumnWidensAtTenRows()
	{
		Rows nine(numbered(9));
		Rows ten(numbered(10));
		QFont bold = testFont();
		bold.setWeight(QFont::Bold);
		const int digit = QFontMetrics(bold).horizontalAdvance(QStringLiteral("8"));

		const QImage nineImage = nine.paint(0);
		const QImage tenImage = ten.paint(0);
		const QList<Span> a = inkSpans(nineImage, 0, nineImage.height(), Ink::Text);
		const QList<Span> b = inkSpans(tenImage, 0, tenImage.height(), Ink::Text);
		QCOMPARE(a.size(), 3);
		QCOMPARE(b.size(), 3);
		QVERIFY2(qAbs((b[0].right - a[0].right) - digit) <= 1, "the number moves right by one digit");
		QVERIFY2(qAbs((b[1].left - a[1].left) - digit) <= 1, "the name moves right by one digit");
		QCOMPARE(b[2].right, a[2].right);

		// Numbers are right-aligned in the shared column, and the row number comes from the row.
		const QImage lastImage = ten.paint(9);
		const QList<Span> c = inkSpans(lastImage, 0, lastImage.height(), Ink::Text);
		QCOMPARE(c.size(), 3);
		QVERIFY(qAbs(c[0].right - b[0].right) <= 1);
		QVERIFY(c[0].width() > b[0].width());
		QCOMPARE(c[1].left, b[1].left);
	}

	void selectedAndDisabledColours()
	{
		Rows rows({{QStringLiteral("some track.mp3"), SizeMissing}});
		const QImage selected = rows.paint(0, true);
		QCOMPARE(inkPixels(selected, 0, selected.height(), Ink::Text), 0);
		QCOMPARE(inkSpans(selected, 0, selected.height(), Ink::Highlighted).size(), 3);

		const QImage disabled = rows.paint(0, false, false);
		QCOMPARE(inkPixels(disabled, 0, disabled.height(), Ink::Text), 0);
		QCOMPARE(inkSpans(disabled, 0, disabled.height(), Ink::Disabled).size(), 3);

		const QImage normal = rows.paint(0);
		QCOMPARE(inkPixels(normal, 0, normal.height(), Ink::Highlighted), 0);
		QCOMPARE(inkSpans(normal, 0, normal.height(), Ink::Text).size(), 3);
	}

	void awkwardNamesDrawOnOneLine()
	{
		Rows rows({{QStringLiteral("first line\nsecond line\r\nthird.mp3"), 10},
			   {QStringLiteral("tab\tin\tname.mp3"), 10},
			   {QString::fromUtf8("Grüße – 日本語 ▶ name.flac"), 10},
			   {QString(), SizeNotProbed}});
		const int lineHeight = QFontMetrics(testFont()).height();
		for (int row = 0; row < 4; ++row) {
			const QImage image = rows.paint(row);
			const Span rowsWithInk = inkRows(image, 0, image.width() - 1, Ink::Text);
			QVERIFY2(rowsWithInk.right >= 0, "nothing drawn");
			QVERIFY(rowsWithInk.left >= RowHeight);
			QVERIFY(rowsWithInk.right < 2 * RowHeight);
			QVERIFY2(rowsWithInk.width() <= lineHeight,
				 qPrintable(QStringLiteral("row %1: ink %2 px high, one line is %3")
						    .arg(row)
						    .arg(rowsWithInk.width())
						    .arg(lineHeight)));
		}
	}

	// A bidirectional control in a file name draws as a space, as a line break does: the name keeps
	// the order of its characters instead of showing reversed from a right-to-left override on.
	void bidiControlsDrawAsSpaces()
	{
		const QString plain = QStringLiteral("abc evil-name.mp3");
		Rows expected({{plain, 10}});
		const QImage drawn = expected.paint(0);
		for (char16_t control : {u'\u061C', u'\u200E', u'\u200F', u'\u202A', u'\u202B', u'\u202C', u'\u202D',
					 u'\u202E', u'\u2066', u'\u2067', u'\u2068', u'\u2069'}) {
			QString name = plain;
			name[3] = QChar(control);
			Rows rows({{name, 10}});
			QVERIFY2(rows.paint(0) == drawn, qPrintable(QString::number(control, 16)));
		}
	}

	void narrowRowsKeepPainterState()
	{
		Rows rows({{QStringLiteral("name.mp3"), 99}});
		QImage image(100, RowHeight, QImage::Format_ARGB32_Premultiplied);
		image.fill(Qt::white);
		QPainter painter(&image);
		const QFont font(QStringLiteral("DejaVu Serif"), 7);
		const QPen pen(QColor(1, 2, 3));
		painter.setFont(font);
		painter.setPen(pen);

		for (int width : {0, 1, 30, 90, -5}) {
			QStyleOptionViewItem option;
			option.initFrom(&rows.list);
			option.widget = &rows.list;
			option.font = testFont();
			option.fontMetrics = QFontMetrics(option.font);
			option.rect = QRect(0, 0, width, RowHeight);
			option.state = QStyle::State_Enabled;
			rows.delegate->paint(&painter, option, rows.list.model()->index(0, 0));
			QCOMPARE(painter.font(), font);
			QCOMPARE(painter.pen(), pen);
		}

		// An index without a model still paints, without asking anything of a model.
		QStyleOptionViewItem option;
		option.rect = QRect(0, 0, 100, RowHeight);
		rows.delegate->paint(&painter, option, QModelIndex());
		QCOMPARE(painter.font(), font);
		QCOMPARE(painter.pen(), pen);
	}
};

TRACKLANE_TEST_MAIN(TrackDelegateTest)
#include "test_track_delegate.moc"
