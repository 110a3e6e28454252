// The dock's widget tree, its header re-layout, the message line, the About box, and every
// locale's texts within their widgets at the dock's smallest width.

#include "test_host.hpp"
#include "test_access.hpp"
#include "module/plugin-main.hpp"
#include "playback/SeekSlider.hpp"
#include "tracks/TrackDelegate.hpp"
#include "tracks/TrackEntry.hpp"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFontInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMetaMethod>
#include <QResizeEvent>
#include <QScopeGuard>
#include <QShortcut>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTest>
#include <QTimer>
#include <QToolButton>

struct GridPlace {
	int row, column, rowSpan, columnSpan;
	bool operator==(const GridPlace &o) const
	{
		return row == o.row && column == o.column && rowSpan == o.rowSpan && columnSpan == o.columnSpan;
	}
};

static GridPlace placeOf(QGridLayout *grid, QWidget *widget)
{
	GridPlace p{-1, -1, -1, -1};
	const int index = grid->indexOf(widget);
	if (index >= 0)
		grid->getItemPosition(index, &p.row, &p.column, &p.rowSpan, &p.columnSpan);
	return p;
}

// The dock is never shown here, so deliver the resize the way a shown widget would get it.
static void resizeTo(QWidget &widget, int width)
{
	QResizeEvent event(QSize(width, 200), widget.size());
	QApplication::sendEvent(&widget, &event);
}

// A row per locale file the module ships, so that a text added to any of them later is held to the same rule.
static void addLocaleRows()
{
	QTest::addColumn<QString>("locale");
	const QDir dir(QStringLiteral(TRACKLANE_TEST_SOURCE_DIR "/../data/locale"));
	for (const QFileInfo &file : dir.entryInfoList({QStringLiteral("*.ini")}, QDir::Files, QDir::Name))
		QTest::newRow(qPrintable(file.completeBaseName())) << file.completeBaseName();
}

// The dock at its smallest width, its text at the 10 pt that OBS's themes give docks (Qt's default
// here is 9 pt).
static void layOutAtSmallestWidth(Tracklane &dock)
{
	QFont font = dock.font();
	font.setPointSize(10);
	dock.setFont(font);
	dock.setAttribute(Qt::WA_DontShowOnScreen);
	dock.resize(dock.minimumWidth(), 200);
	dock.show();
	dock.layout()->activate();
}

// The width a text takes. The build roots have no CJK font, and a character no font holds is
// drawn as a narrow box; it counts here as one em, the width CJK fonts give their ideographs, kana
// and hangul, so that those locales are measured too.
static int textWidth(const QFont &font, const QString &text)
{
	const QFontMetrics metrics(font);
	const int em = QFontInfo(font).pixelSize();
	int width = metrics.horizontalAdvance(text);
	for (const char32_t c : text.toUcs4()) {
		if (!metrics.inFontUcs4(c))
			width += qMax(0, em - metrics.horizontalAdvance(QString::fromUcs4(&c, 1)));
	}
	return width;
}

class DockLayoutTest : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void init() { testhost::clearLog(); }

	void metaObjectHasOnlyTheTwoSignals()
	{
		const QMetaObject &mo = Tracklane::staticMetaObject;
		QCOMPARE(QString::fromLatin1(mo.className()), QStringLiteral("Tracklane"));
		QCOMPARE(mo.superClass(), &QWidget::staticMetaObject);
		QCOMPARE(mo.methodCount() - mo.methodOffset(), 2);
		QCOMPARE(mo.method(mo.methodOffset()).methodSignature(), QByteArray("configurationChanged()"));
		QCOMPARE(mo.method(mo.methodOffset()).methodType(), QMetaMethod::Signal);
		QCOMPARE(mo.method(mo.methodOffset() + 1).methodSignature(), QByteArray("sceneSwitchRequested(QString)"));
		QCOMPARE(mo.propertyCount(), mo.propertyOffset());
	}

	void initialStateAndTimers()
	{
		Tracklane dock(QString(), nullptr);
		QCOMPARE(dock.objectName(), QStringLiteral("OBS-Tracklane-content"));
		QCOMPARE(dock.minimumSize(), QSize(360, 110));
		QCOMPARE(dock.size(), QSize(920, 200));
		QVERIFY(TA::suspended(dock));
		QVERIFY(!TA::closing(dock));
		QCOMPARE(TA::pendingSeekMs(dock), -1);
		QVERIFY(TA::pollTimer(dock).isActive());
		QCOMPARE(TA::pollTimer(dock).interval(), 250);
		QVERIFY(!TA::pollTimer(dock).isSingleShot());
		QVERIFY(!TA::configChangedTimer(dock).isActive());
		QCOMPARE(TA::configChangedTimer(dock).interval(), 500);
		QVERIFY(TA::configChangedTimer(dock).isSingleShot());
		QCOMPARE(TA::trackCountLabel(dock)->text(), moduleQString("TrackCount").arg(0));
		QCOMPARE(TA::timeLabel(dock)->text(), QStringLiteral("0:00"));
		QVERIFY(TA::messageLabel(dock)->isHidden());
		QCOMPARE(TA::sourceSelector(dock)->count(), 1);
		QCOMPARE(TA::sourceSelector(dock)->itemText(0), moduleQString("SelectSource"));
		QCOMPARE(TA::sourceSelector(dock)->itemData(0).toString(), QString());
		QVERIFY(!TA::sourceSelector(dock)->itemData(0).isNull());
		QCOMPARE(TA::endModeCombo(dock)->count(), 3);
		for (int i = 0; i < 3; ++i)
			QCOMPARE(TA::endModeCombo(dock)->itemData(i).toInt(), i);
		QCOMPARE(TA::seekSlider(dock)->minimum(), 0);
		QCOMPARE(TA::seekSlider(dock)->maximum(), 1000);
	}

	void toolButtons()
	{
		Tracklane dock(QString(), nullptr);
		struct Expect {
			const char *name, *iconClass, *key;
			int size, icon;
		};
		const Expect expected[] = {
			{"addFiles", "icon-plus", "AddFiles", 26, 16},
			{"refresh", "icon-refresh", "Refresh", 26, 16},
			{"previous", "icon-media-prev", "Previous", 22, 14},
			// Made as "PlaySelected"; with nothing selected or playing the controls refresh calls it "Play".
			{"playPause", "icon-media-play", "Play", 22, 14},
			{"stop", "icon-media-stop", "Stop", 22, 14},
			{"next", "icon-media-next", "Next", 22, 14},
		};
		for (const Expect &e : expected) {
			auto *button = dock.findChild<QToolButton *>(QString::fromLatin1(e.name));
			QVERIFY2(button, e.name);
			QCOMPARE(button->property("class").toString(), QString::fromLatin1(e.iconClass));
			QCOMPARE(button->accessibleName(), moduleQString(e.key));
			QCOMPARE(button->minimumSize(), QSize(e.size, e.size));
			QCOMPARE(button->maximumSize(), QSize(e.size, e.size));
			QCOMPARE(button->iconSize(), QSize(e.icon, e.icon));
			QVERIFY(button->icon().isNull());
			QVERIFY(button->text().isEmpty());
			QVERIFY(button->autoRaise());
			QCOMPARE(button->toolButtonStyle(), Qt::ToolButtonIconOnly);
		}
	}

	void widgetsByObjectName()
	{
		Tracklane dock(QString(), nullptr);
		QVERIFY(dock.findChild<QComboBox *>(QStringLiteral("sourceSelector")));
		QVERIFY(dock.findChild<QLineEdit *>(QStringLiteral("search")));
		QVERIFY(dock.findChild<QLabel *>(QStringLiteral("trackCount")));
		QVERIFY(dock.findChild<QLabel *>(QStringLiteral("message")));
		QVERIFY(dock.findChild<QLabel *>(QStringLiteral("playbackTime")));
		QVERIFY(dock.findChild<QComboBox *>(QStringLiteral("endMode")));
		auto *seek = dock.findChild<QSlider *>(QStringLiteral("seek"));
		QVERIFY(seek);
		QVERIFY(dynamic_cast<SeekSlider *>(seek));
		auto *list = dock.findChild<QListWidget *>(QStringLiteral("playlist"));
		QVERIFY(list);
		QCOMPARE(list->selectionMode(), QAbstractItemView::ExtendedSelection);
		QCOMPARE(list->dragDropMode(), QAbstractItemView::InternalMove);
		QCOMPARE(list->defaultDropAction(), Qt::MoveAction);
		QVERIFY(list->uniformItemSizes());
		QCOMPARE(list->contextMenuPolicy(), Qt::CustomContextMenu);
		QCOMPARE(list->itemDelegate()->parent(), list);
		QCOMPARE(dock.findChild<QComboBox *>(QStringLiteral("endMode"))->accessibleName(), moduleQString("EndMode"));
		QCOMPARE(dock.findChild<QLabel *>(QStringLiteral("playbackTime"))->cursor().shape(), Qt::PointingHandCursor);
		auto *message = dock.findChild<QLabel *>(QStringLiteral("message"));
		QCOMPARE(message->textFormat(), Qt::PlainText);
		QCOMPARE(message->maximumWidth(), 160);
	}

	void menuActionsAndShortcuts()
	{
		Tracklane dock(QString(), nullptr);
		auto *menu = dock.findChild<QMenu *>(QStringLiteral("playlistMenu"));
		QVERIFY(menu);
		QCOMPARE(menu->parent(), TA::trackList(dock));
		QStringList names;
		for (QAction *action : menu->actions())
			names << (action->isSeparator() ? QStringLiteral("|") : action->objectName());
		QCOMPARE(names, (QStringList{"moveUp", "moveDown", "moveTop", "moveBottom", "|", "remove", "undoRemove",
					      "|", "locateCurrent", "openFolder", "restorePlaylist", "|", "showDurations", "|",
					      "aboutPlugin"}));

		QCOMPARE(TA::removeAction(dock)->shortcut(), QKeySequence(Qt::Key_Delete));
		QCOMPARE(TA::removeAction(dock)->shortcutContext(), Qt::WidgetWithChildrenShortcut);
		QCOMPARE(TA::undoRemoveAction(dock)->shortcut(), QKeySequence(QKeySequence::Undo));
		QCOMPARE(TA::undoRemoveAction(dock)->shortcutContext(), Qt::WidgetWithChildrenShortcut);
		QVERIFY(TA::trackList(dock)->actions().contains(TA::removeAction(dock)));
		QVERIFY(TA::trackList(dock)->actions().contains(TA::undoRemoveAction(dock)));
		QCOMPARE(TA::moveUpAction(dock)->shortcut(), QKeySequence());
		QCOMPARE(TA::restorePlaylistAction(dock)->text(), moduleQString("RestorePlaylist"));

		const QList<QShortcut *> shortcuts = dock.findChildren<QShortcut *>();
		QCOMPARE(shortcuts.size(), 3);
		QStringList seen;
		for (QShortcut *s : shortcuts) {
			QCOMPARE(s->context(), Qt::WidgetWithChildrenShortcut);
			if (s->key() == QKeySequence(QKeySequence::Find)) {
				QCOMPARE(s->parent(), &dock);
				seen << QStringLiteral("find");
			} else {
				QCOMPARE(s->parent(), TA::trackList(dock));
				seen << s->key().toString();
			}
		}
		seen.sort();
		QCOMPARE(seen, (QStringList{"Enter", "Return", "find"}));
	}

	void noTooltipsAnywhere()
	{
		Tracklane dock(QString(), nullptr);
		const QList<QWidget *> widgets = dock.findChildren<QWidget *>();
		QVERIFY(widgets.size() > 10);
		for (QWidget *w : widgets)
			QVERIFY2(w->toolTip().isEmpty(), qPrintable(w->objectName()));
	}

	void headerSwitchesAt600()
	{
		Tracklane dock(QString(), nullptr);
		QGridLayout *grid = TA::headerGrid(dock);
		QWidget *row = TA::headerRow(dock);
		QWidget *search = TA::searchEdit(dock);
		QWidget *count = TA::trackCountLabel(dock);
		const GridPlace wideRow{0, 0, 1, 1}, wideSearch{0, 1, 1, 1}, wideCount{0, 2, 1, 1};
		QVERIFY(placeOf(grid, row) == wideRow);

		resizeTo(dock, 599);
		QVERIFY(TA::narrowLayout(dock));
		QVERIFY((placeOf(grid, row) == GridPlace{0, 0, 1, 3}));
		QVERIFY((placeOf(grid, search) == GridPlace{1, 0, 1, 2}));
		QVERIFY((placeOf(grid, count) == GridPlace{1, 2, 1, 1}));

		resizeTo(dock, 600);
		QVERIFY(!TA::narrowLayout(dock));
		QVERIFY(placeOf(grid, row) == wideRow);
		QVERIFY(placeOf(grid, search) == wideSearch);
		QVERIFY(placeOf(grid, count) == wideCount);

		// Staying narrow re-places nothing: a widget moved by hand stays where it was put.
		resizeTo(dock, 500);
		grid->addWidget(count, 3, 0);
		resizeTo(dock, 550);
		QVERIFY((placeOf(grid, count) == GridPlace{3, 0, 1, 1}));
	}

	void messageLineShowsAndLogs()
	{
		Tracklane dock(QString(), nullptr);
		const QString longText = QStringLiteral("Something went wrong with a rather long explanation that "
						       "cannot possibly fit into 160 pixels of label width");
		dock.showMessage(longText);
		QLabel *label = TA::messageLabel(dock);
		QVERIFY(!label->isHidden());
		QCOMPARE(label->text(), QStringLiteral(u"\u26A0 ") + longText);
		QCOMPARE(testhost::logLinesAtLevel(LOG_WARNING), QStringList{QStringLiteral("[OBS-Tracklane] ") + longText});

		dock.showMessage(QStringLiteral("second"));
		QCOMPARE(label->text(), QStringLiteral(u"\u26A0 second"));

		// A file name in the text stays on one line and in its own order; the log has it as it is.
		const QString name = QStringLiteral(u"Missing: abc\u202Eevil-name.mp3\nnext");
		dock.showMessage(name);
		QCOMPARE(label->text(), QStringLiteral(u"\u26A0 Missing: abc evil-name.mp3 next"));
		QCOMPARE(testhost::logLinesAtLevel(LOG_WARNING).last(), QStringLiteral("[OBS-Tracklane] ") + name);

		dock.clearMessage();
		QVERIFY(label->isHidden());
		QVERIFY(label->text().isEmpty());
	}

	void aboutBoxFillsNameAndVersion()
	{
		Tracklane dock(QString(), nullptr);
		QString title, text;
		QTimer::singleShot(0, [&]() {
			auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
			if (!box)
				return;
			title = box->windowTitle();
			text = box->text();
			box->accept();
		});
		dock.showAboutBox();
		QCOMPARE(title, moduleQString("AboutTitle"));
		QCOMPARE(text, moduleQString("AboutText").arg(moduleQString("DockName"), QStringLiteral("1.2.0")));
		QVERIFY(text.contains(QStringLiteral("1.2.0")));
	}

	void endModeTextsFitAtSmallestWidth_data() { addLocaleRows(); }

	// The combo box paints its current text clipped to its edit field, so each of its texts must
	// fit there whole, in every locale, with the dock at its smallest width. The box is sized to its
	// widest text; when that asks for more than the row has, it gets what the other controls leave
	// it. That room is measured here with one more item wider than any row, so that it does not
	// depend on how wide this root's fonts draw the locale's own texts.
	void endModeTextsFitAtSmallestWidth()
	{
		QFETCH(QString, locale);
		obs_module_set_locale(locale.toUtf8().constData());
		const auto restoreLocale = qScopeGuard([] { obs_module_set_locale(tracklane::defaultLocale); });
		Tracklane dock(QString(), nullptr);
		QComboBox *combo = TA::endModeCombo(dock);
		const int count = combo->count();
		combo->addItem(QString(100, QLatin1Char('M')));
		layOutAtSmallestWidth(dock);
		QVERIFY(dock.rect().contains(combo->geometry()));

		QStyleOptionComboBox option;
		option.initFrom(combo);
		option.editable = combo->isEditable();
		option.frame = combo->hasFrame();
		const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &option,
								   QStyle::SC_ComboBoxEditField, combo);
		// The style draws the text one pixel inside the field on each side.
		const int room = field.width() - 2;
		QStringList cut;
		for (int i = 0; i < count; ++i) {
			const int width = textWidth(combo->font(), combo->itemText(i));
			if (width > room)
				cut << QStringLiteral("\"%1\" needs %2 px").arg(combo->itemText(i)).arg(width);
		}
		QVERIFY2(cut.isEmpty(),
			 qPrintable(QStringLiteral("%1 px of room: ").arg(room) + cut.join(QStringLiteral("; "))));
	}

	void missingTagFitsSizeColumn_data() { addLocaleRows(); }

	// The size column is as wide as the widest size text in the row font and is not widened for the
	// missing-file tag, which is painted bold.
	void missingTagFitsSizeColumn()
	{
		QFETCH(QString, locale);
		obs_module_set_locale(locale.toUtf8().constData());
		const auto restoreLocale = qScopeGuard([] { obs_module_set_locale(tracklane::defaultLocale); });
		Tracklane dock(QString(), nullptr);
		layOutAtSmallestWidth(dock);
		const QFont font = TA::trackList(dock)->font();
		QFont bold = font;
		bold.setWeight(QFont::Bold);
		const int column = sizeColumnRect(QRect(0, 0, 1000, 20), QFontMetrics(font)).width();
		const QString tag = sizeText(SizeMissing);
		const int width = textWidth(bold, tag);
		QVERIFY2(width <= column,
			 qPrintable(QStringLiteral("\"%1\" needs %2 px of %3").arg(tag).arg(width).arg(column)));
	}
};

TRACKLANE_TEST_MAIN(DockLayoutTest)
#include "test_dock_layout.moc"
