#include "test_host.hpp"
#include "test_access.hpp"
#include "stand_in_source.hpp"
#include "module/plugin-main.hpp"
#include "tracks/TrackEntry.hpp"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollBar>
#include <QTest>

namespace {

TrackEntry freshEntry(const QString &path)
{
	return TrackEntry{newTrackId(), path, SizeNotProbed};
}

QList<int> visibleRows(QListWidget *list)
{
	QList<int> rows;
	for (int i = 0; i < list->count(); ++i) {
		if (!list->item(i)->isHidden())
			rows << i;
	}
	return rows;
}

QList<int> selectedRows(QListWidget *list)
{
	QList<int> rows;
	for (int i = 0; i < list->count(); ++i) {
		if (list->item(i)->isSelected())
			rows << i;
	}
	return rows;
}

// The count at the start of the count label, without the list's length that follows it.
QString countPart(const QLabel *label)
{
	return label->text().section(QStringLiteral(u" \u00B7 "), 0, 0);
}

QString filtered(int matches, int total)
{
	return moduleQString("FilteredCount").arg(QString::number(matches), QString::number(total));
}

void fill(Tracklane &dock, int count)
{
	TA::tracks(dock).clear();
	for (int i = 1; i <= count; ++i)
		TA::tracks(dock).append(freshEntry(QStringLiteral("/media/track %1.mp3").arg(i)));
	dock.rebuildTrackList(QString());
}

} // namespace

class TrackFilterTest : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void textMatchesStoredPath()
	{
		Tracklane dock(QString(), nullptr);
		TA::tracks(dock) = {freshEntry("/Music/Rock/One.mp3"), freshEntry("/music/jazz/two.MP3"),
				    freshEntry("/other/ROCKET.wav"), freshEntry("http://host/rock?id=1"),
				    freshEntry(QString::fromUtf8("/Müsik/Grüße.flac"))};
		TA::currentTrackId(dock) = TA::tracks(dock)[1].id;
		dock.rebuildTrackList(QString());
		QListWidget *list = TA::trackList(dock);
		QLineEdit *search = TA::searchEdit(dock);
		QLabel *count = TA::trackCountLabel(dock);

		search->setText("rOcK");
		QCOMPARE(visibleRows(list), (QList<int>{0, 2, 3}));
		QCOMPARE(countPart(count), filtered(3, 5));

		// A folder name matches although the shown name does not contain it.
		search->setText("  JAZZ  ");
		QCOMPARE(visibleRows(list), QList<int>{1});
		QCOMPARE(countPart(count), filtered(1, 5));

		search->setText(QString::fromUtf8("GRÜSSE"));
		QCOMPARE(visibleRows(list), QList<int>{});
		search->setText(QString::fromUtf8("grüße"));
		QCOMPARE(visibleRows(list), QList<int>{4});

		// The current-track marker is shown but is not part of the path.
		search->setText(CurrentTrackMarker.left(1));
		QCOMPARE(visibleRows(list), QList<int>{});
		QCOMPARE(countPart(count), filtered(0, 5));
		QVERIFY(!list->currentItem());
		QVERIFY(list->selectedItems().isEmpty());

		search->setText("?id=");
		QCOMPARE(visibleRows(list), QList<int>{3});

		search->setText("   ");
		QCOMPARE(visibleRows(list), (QList<int>{0, 1, 2, 3, 4}));
		QCOMPARE(countPart(count), moduleQString("TrackCount").arg(5));
		QCOMPARE(TA::tracks(dock).size(), 5);
	}

	void currentItemFollowsFilter()
	{
		Tracklane dock(QString(), nullptr);
		fill(dock, 12);
		QListWidget *list = TA::trackList(dock);
		QLineEdit *search = TA::searchEdit(dock);
		int signalsSeen = 0;
		connect(list, &QListWidget::currentItemChanged, this, [&signalsSeen]() { ++signalsSeen; });

		list->setCurrentRow(10);
		signalsSeen = 0;
		// "track 1" matches rows 0 and 9 to 11; the first hit becomes current.
		search->setText("track 1");
		QCOMPARE(visibleRows(list), (QList<int>{0, 9, 10, 11}));
		QCOMPARE(list->currentRow(), 0);
		QCOMPARE(selectedRows(list), QList<int>{0});
		QCOMPARE(countPart(TA::trackCountLabel(dock)), filtered(4, 12));
		QCOMPARE(signalsSeen, 0);

		list->setCurrentRow(10);
		search->clear();
		QCOMPARE(list->currentRow(), 10);
		QCOMPARE(selectedRows(list), QList<int>{10});
		QCOMPARE(visibleRows(list).size(), 12);

		// With no filter and no current item the first row is taken.
		list->setCurrentItem(nullptr);
		dock.applyFilter();
		QCOMPARE(list->currentRow(), 0);
	}

	// An empty search shows every row without looking at each one, as long as nothing is hidden;
	// every way rows can end up hidden must still be undone by clearing the search.
	void clearingTheSearchShowsRowsHiddenByAnyRoute()
	{
		Tracklane dock(QString(), nullptr);
		fill(dock, 6);
		QListWidget *list = TA::trackList(dock);
		QLineEdit *search = TA::searchEdit(dock);
		const QList<int> all = {0, 1, 2, 3, 4, 5};

		search->setText("track 3");
		QCOMPARE(visibleRows(list), QList<int>{2});
		search->clear();
		QCOMPARE(visibleRows(list), all);
		QCOMPARE(countPart(TA::trackCountLabel(dock)), moduleQString("TrackCount").arg(6));

		// A rebuild under a search hides the fresh rows again; clearing afterwards shows them.
		search->setText("#2");
		dock.rebuildTrackList(QString());
		QCOMPARE(visibleRows(list), QList<int>{1});
		search->clear();
		QCOMPARE(visibleRows(list), all);

		// A search that matches everything hides nothing, and the next search still hides rows.
		search->setText("track");
		QCOMPARE(visibleRows(list), all);
		search->setText("track 6");
		QCOMPARE(visibleRows(list), QList<int>{5});

		// Rows moved while hidden stay hidden until the search is cleared.
		QVERIFY(list->model()->moveRow(QModelIndex(), 0, QModelIndex(), 6));
		QVERIFY(list->item(5)->isHidden());
		search->clear();
		QCOMPARE(visibleRows(list), all);
		QCOMPARE(list->currentRow() >= 0, true);
	}

	void dragOnlyWithoutFilter()
	{
		Tracklane dock(QString(), nullptr);
		fill(dock, 3);
		QListWidget *list = TA::trackList(dock);
		QVERIFY(list->dragEnabled());
		TA::searchEdit(dock)->setText("2");
		QVERIFY(!list->dragEnabled());
		TA::searchEdit(dock)->setText("#2");
		QVERIFY(!list->dragEnabled());
		TA::searchEdit(dock)->setText(" ");
		QVERIFY(list->dragEnabled());
	}

	void numberMode_data()
	{
		QTest::addColumn<QString>("text");
		QTest::addColumn<QList<int>>("rows");
		QTest::newRow("lone hash") << "#" << QList<int>{};
		QTest::newRow("minus one") << "#-1" << QList<int>{};
		QTest::newRow("zero") << "#0" << QList<int>{};
		QTest::newRow("spaces around") << "# 3 " << QList<int>{2};
		QTest::newRow("leading space before hash") << "  #3" << QList<int>{2};
		QTest::newRow("leading zero") << "#03" << QList<int>{2};
		QTest::newRow("last") << "#12" << QList<int>{11};
		QTest::newRow("past the end") << "#13" << QList<int>{};
		QTest::newRow("too large for int") << "#999999999999" << QList<int>{};
		QTest::newRow("int max") << "#2147483647" << QList<int>{};
		QTest::newRow("int min") << "#-2147483648" << QList<int>{};
		QTest::newRow("trailing letters") << "#3a" << QList<int>{};
		QTest::newRow("hex") << "#0x3" << QList<int>{};
		QTest::newRow("two hashes") << "##3" << QList<int>{};
		QTest::newRow("decimal point") << "#3.0" << QList<int>{};
	}

	void numberMode()
	{
		QFETCH(QString, text);
		QFETCH(QList<int>, rows);
		Tracklane dock(QString(), nullptr);
		fill(dock, 12);
		QListWidget *list = TA::trackList(dock);
		list->setCurrentRow(5);

		TA::searchEdit(dock)->setText(text);
		QCOMPARE(visibleRows(list), rows);
		QCOMPARE(countPart(TA::trackCountLabel(dock)), filtered(rows.size(), 12));
		QCOMPARE(list->currentRow(), rows.isEmpty() ? -1 : rows.first());
		QCOMPARE(selectedRows(list), rows);
		QCOMPARE(dock.selectedTrackId(), rows.isEmpty() ? QString() : TA::tracks(dock)[rows.first()].id);
	}

	void viewStateComesBackUnderSameFilter()
	{
		Tracklane dock(QString(), nullptr);
		dock.resize(600, 300);
		dock.show();
		QVERIFY(QTest::qWaitForWindowExposed(&dock));
		QListWidget *list = TA::trackList(dock);
		QLineEdit *search = TA::searchEdit(dock);

		obs_source_t *source = standin::create("view state source");
		QVERIFY(source);
		const QString uuid = QString::fromUtf8(obs_source_get_uuid(source));
		TA::boundSource(dock) = obs_source_get_weak_source(source);

		fill(dock, 80);
		list->setCurrentRow(40);
		list->scrollToItem(list->item(40), QAbstractItemView::PositionAtTop);
		const int scrolled = list->verticalScrollBar()->value();
		QVERIFY(scrolled > 0);
		const QString row40 = TA::tracks(dock)[40].id;

		dock.saveViewState();
		QVERIFY(TA::viewStates(dock).contains(uuid));
		QCOMPARE(TA::viewStates(dock)[uuid].selectedId, row40);

		// Another source's short list comes and goes.
		const QList<TrackEntry> original = TA::tracks(dock);
		fill(dock, 5);
		QCoreApplication::processEvents();
		QCOMPARE(list->verticalScrollBar()->value(), 0);

		// Restored right after the rebuild, before the list has laid out its rows on its own.
		TA::tracks(dock) = original;
		dock.rebuildTrackList(original[0].id);
		QCOMPARE(list->currentRow(), 0);
		dock.restoreViewState(uuid);
		QCOMPARE(list->currentRow(), 40);
		QCOMPARE(dock.selectedTrackId(), row40);
		QCOMPARE(selectedRows(list), QList<int>{40});
		QCOMPARE(list->verticalScrollBar()->value(), scrolled);

		// A place remembered without a selected track still brings the scroll position back.
		list->setCurrentItem(nullptr);
		list->verticalScrollBar()->setValue(scrolled);
		dock.saveViewState();
		QCOMPARE(TA::viewStates(dock)[uuid].selectedId, QString());
		fill(dock, 5);
		QCoreApplication::processEvents();
		TA::tracks(dock) = original;
		dock.rebuildTrackList(original[0].id);
		dock.restoreViewState(uuid);
		QVERIFY(!list->currentItem());
		QCOMPARE(list->verticalScrollBar()->value(), scrolled);
		list->setCurrentRow(40);
		dock.saveViewState();

		// Another filter text: the remembered place belongs to the old one.
		list->setCurrentRow(3);
		list->verticalScrollBar()->setValue(0);
		search->setText("track");
		QCOMPARE(list->currentRow(), 0);
		dock.restoreViewState(uuid);
		QCOMPARE(list->currentRow(), 0);
		QCOMPARE(list->verticalScrollBar()->value(), 0);

		// The same text with other white space around it is the same filter.
		search->setText("   ");
		list->setCurrentRow(3);
		dock.restoreViewState(uuid);
		QCOMPARE(list->currentRow(), 40);

		// A remembered track that is gone leaves the list as it is.
		search->clear();
		TA::tracks(dock).removeAt(40);
		dock.rebuildTrackList(TA::tracks(dock)[7].id);
		dock.restoreViewState(uuid);
		QCOMPARE(list->currentRow(), 7);

		// A source never left has no record.
		dock.restoreViewState("00000000-0000-0000-0000-000000000000");
		QCOMPARE(list->currentRow(), 7);

		// A hidden current item is remembered as no selection.
		search->setText("track 7");
		QCOMPARE(list->currentRow(), 6);
		list->item(6)->setHidden(true);
		dock.saveViewState();
		QCOMPARE(TA::viewStates(dock)[uuid].selectedId, QString());
		QCOMPARE(TA::viewStates(dock)[uuid].searchText, QStringLiteral("track 7"));

		obs_source_release(source);
	}

	void viewStateNeedsBoundSource()
	{
		Tracklane dock(QString(), nullptr);
		fill(dock, 3);
		dock.saveViewState();
		QVERIFY(TA::viewStates(dock).isEmpty());
	}
};

TRACKLANE_TEST_MAIN(TrackFilterTest)
#include "test_track_filter.moc"
