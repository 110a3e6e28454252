#include "dock/Tracklane.hpp"
#include "module/plugin-main.hpp"
#include "playback/SeekSlider.hpp"
#include "tracks/TrackDelegate.hpp"
#include "tracks/TrackListWidget.hpp"

#include <QAction>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QResizeEvent>
#include <QShortcut>
#include <QToolButton>
#include <QVBoxLayout>

QToolButton *Tracklane::makeToolButton(QWidget *parent, const QString &name, const QString &text,
				       const QString &iconClass)
{
	auto *button = new QToolButton(parent);
	button->setObjectName(name);
	// The host theme draws the icon from this class; the program never sets one.
	button->setProperty("class", iconClass);
	button->setAccessibleName(text);
	button->setIconSize(QSize(16, 16));
	button->setToolButtonStyle(Qt::ToolButtonIconOnly);
	button->setAutoRaise(true);
	button->setFixedSize(26, 26);
	return button;
}

void Tracklane::buildUi()
{
	setMinimumSize(360, 110);
	resize(920, 200);

	auto *mainLayout = new QVBoxLayout(this);
	mainLayout->setContentsMargins(4, 4, 4, 4);
	mainLayout->setSpacing(4);

	headerGrid = new QGridLayout();
	headerGrid->setSpacing(4);
	headerGrid->setColumnStretch(0, 2);
	headerGrid->setColumnStretch(1, 1);

	headerRow = new QWidget(this);
	auto *headerRowLayout = new QHBoxLayout(headerRow);
	headerRowLayout->setContentsMargins(0, 0, 0, 0);
	headerRowLayout->setSpacing(4);

	trackCountLabel = new QLabel(moduleQString("TrackCount").arg(0, 0, 10, QLatin1Char(' ')), this);
	trackCountLabel->setObjectName(QStringLiteral("trackCount"));
	trackCountLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

	searchEdit = new QLineEdit(this);
	searchEdit->setObjectName(QStringLiteral("search"));
	searchEdit->setPlaceholderText(moduleQString("SearchPlaceholder"));
	searchEdit->setClearButtonEnabled(true);
	searchEdit->setFixedHeight(26);
	searchEdit->setStyleSheet(QStringLiteral("QLineEdit { margin-top: 0; margin-bottom: 0; }"));

	headerGrid->addWidget(headerRow, 0, 0);
	headerGrid->addWidget(searchEdit, 0, 1);
	headerGrid->addWidget(trackCountLabel, 0, 2);

	addFilesButton = makeToolButton(this, QStringLiteral("addFiles"), moduleQString("AddFiles"),
					QStringLiteral("icon-plus"));
	headerRowLayout->addWidget(addFilesButton, 0);

	mainLayout->addLayout(headerGrid, 0);

	trackList = new TrackListWidget(this);
	trackList->setObjectName(QStringLiteral("playlist"));
	trackList->setItemDelegate(new TrackDelegate(trackList));
	trackList->setSelectionMode(QAbstractItemView::ExtendedSelection);
	trackList->setDragDropMode(QAbstractItemView::InternalMove);
	trackList->setDefaultDropAction(Qt::MoveAction);
	trackList->setUniformItemSizes(true);
	trackList->setSpacing(0);
	trackList->setContextMenuPolicy(Qt::CustomContextMenu);

	trackList->installEventFilter(this);
	trackList->viewport()->installEventFilter(this);
	searchEdit->installEventFilter(this);
	mainLayout->addWidget(trackList, 1);

	auto *playlistMenu = new QMenu(trackList);
	playlistMenu->setObjectName(QStringLiteral("playlistMenu"));
	listMenu = playlistMenu;
	auto addMenuAction = [playlistMenu](const char *key, const char *name) {
		QAction *action = playlistMenu->addAction(moduleQString(key));
		action->setObjectName(QString::fromLatin1(name));
		return action;
	};
	moveUpAction = addMenuAction("MoveUp", "moveUp");
	moveDownAction = addMenuAction("MoveDown", "moveDown");
	moveTopAction = addMenuAction("MoveTop", "moveTop");
	moveBottomAction = addMenuAction("MoveBottom", "moveBottom");
	playlistMenu->addSeparator();
	removeAction = addMenuAction("RemoveTrack", "remove");
	removeAction->setShortcut(QKeySequence(Qt::Key_Delete));
	removeAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
	undoRemoveAction = addMenuAction("UndoRemove", "undoRemove");
	// Every binding the platform has for Undo, not only the first (Windows adds Alt+Backspace).
	undoRemoveAction->setShortcuts(QKeySequence::Undo);
	undoRemoveAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
	playlistMenu->addSeparator();
	locateCurrentAction = addMenuAction("LocateCurrent", "locateCurrent");
	openFolderAction = addMenuAction("OpenFolder", "openFolder");
	restorePlaylistAction = addMenuAction("RestorePlaylist", "restorePlaylist");
	playlistMenu->addSeparator();
	showDurationsAction = addMenuAction("ShowDurations", "showDurations");
	showDurationsAction->setCheckable(true);
	connect(showDurationsAction, &QAction::triggered, this, [this](bool on) {
		setShowDurations(on);
		saveDockSettings();
	});
	playlistMenu->addSeparator();
	QAction *aboutAction = addMenuAction("AboutMenu", "aboutPlugin");
	// Delete and Undo work while the list has the focus, without the menu open.
	trackList->addAction(removeAction);
	trackList->addAction(undoRemoveAction);
	connect(aboutAction, &QAction::triggered, this, &Tracklane::showAboutBox);

	sourceSelector = new QComboBox(this);
	sourceSelector->setObjectName(QStringLiteral("sourceSelector"));
	sourceSelector->addItem(moduleQString("SelectSource"), QString());
	sourceSelector->setMinimumContentsLength(8);
	sourceSelector->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
	sourceSelector->setFixedHeight(26);
	sourceSelector->setStyleSheet(QStringLiteral("QComboBox { margin-top: 0; margin-bottom: 0; }"));

	QToolButton *refreshButton = makeToolButton(this, QStringLiteral("refresh"), moduleQString("Refresh"),
						    QStringLiteral("icon-refresh"));
	headerRowLayout->addWidget(sourceSelector, 1);
	headerRowLayout->addWidget(refreshButton, 0);

	messageLabel = new QLabel(this);
	messageLabel->setObjectName(QStringLiteral("message"));
	messageLabel->setTextFormat(Qt::PlainText);
	messageLabel->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
	messageLabel->setMinimumWidth(0);
	messageLabel->setMaximumWidth(160);
	messageLabel->hide();

	auto *transportRow = new QHBoxLayout();
	transportRow->setSpacing(2);

	previousButton = makeToolButton(this, QStringLiteral("previous"), moduleQString("Previous"),
					QStringLiteral("icon-media-prev"));
	playPauseButton = makeToolButton(this, QStringLiteral("playPause"), moduleQString("PlaySelected"),
					 QStringLiteral("icon-media-play"));
	stopButton =
		makeToolButton(this, QStringLiteral("stop"), moduleQString("Stop"), QStringLiteral("icon-media-stop"));
	nextButton =
		makeToolButton(this, QStringLiteral("next"), moduleQString("Next"), QStringLiteral("icon-media-next"));
	for (QToolButton *button : {previousButton, playPauseButton, stopButton, nextButton}) {
		button->setIconSize(QSize(14, 14));
		button->setFixedSize(22, 22);
	}
	transportRow->addWidget(previousButton, 0);
	transportRow->addWidget(playPauseButton, 0);
	transportRow->addWidget(stopButton, 0);
	transportRow->addWidget(nextButton, 0);
	transportRow->addWidget(messageLabel, 0);

	seekSlider = new SeekSlider(Qt::Horizontal, this);
	seekSlider->setObjectName(QStringLiteral("seek"));
	seekSlider->setRange(0, 1000);
	seekSlider->setMinimumWidth(80);
	transportRow->addWidget(seekSlider, 2);

	timeLabel = new QLabel(QStringLiteral("0:00"), this);
	timeLabel->setObjectName(QStringLiteral("playbackTime"));
	timeLabel->setMinimumWidth(40);
	timeLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
	timeLabel->setCursor(Qt::PointingHandCursor);
	timeLabel->installEventFilter(this);
	transportRow->addWidget(timeLabel);

	endModeCombo = new QComboBox(this);
	endModeCombo->setObjectName(QStringLiteral("endMode"));
	endModeCombo->addItem(QIcon(), moduleQString("EndStop"), 0);
	endModeCombo->addItem(QIcon(), moduleQString("EndNext"), 1);
	endModeCombo->addItem(QIcon(), moduleQString("EndRepeat"), 2);
	endModeCombo->setAccessibleName(moduleQString("EndMode"));
	endModeCombo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
	endModeCombo->setFixedHeight(26);
	transportRow->addSpacing(4);
	transportRow->addWidget(endModeCombo);

	mainLayout->addLayout(transportRow, 0);

	connect(sourceSelector, &QComboBox::currentIndexChanged, this, &Tracklane::onSourceSelected);
	connect(refreshButton, &QToolButton::clicked, this, &Tracklane::onRefreshClicked);
	connect(searchEdit, &QLineEdit::textChanged, this, &Tracklane::applyFilter);
	connect(searchEdit, &QLineEdit::returnPressed, this, &Tracklane::startSelectedTrack);
	connect(trackList, &QListWidget::customContextMenuRequested, this, &Tracklane::showTrackContextMenu);
	connect(trackList, &QListWidget::itemDoubleClicked, this,
		[this](QListWidgetItem *item) { loadTrack(item->data(TrackIdRole).toString(), true); });
	auto *returnShortcut = new QShortcut(QKeySequence(Qt::Key_Return), trackList);
	returnShortcut->setContext(Qt::WidgetWithChildrenShortcut);
	connect(returnShortcut, &QShortcut::activated, this, &Tracklane::startSelectedTrack);
	auto *enterShortcut = new QShortcut(QKeySequence(Qt::Key_Enter), trackList);
	enterShortcut->setContext(Qt::WidgetWithChildrenShortcut);
	connect(enterShortcut, &QShortcut::activated, this, &Tracklane::startSelectedTrack);
	auto *findShortcut = new QShortcut(QKeySequence::Find, this);
	findShortcut->setContext(Qt::WidgetWithChildrenShortcut);
	connect(findShortcut, &QShortcut::activated, this, &Tracklane::focusSearch);
	connect(trackList, &QListWidget::currentItemChanged, this, &Tracklane::updateTransportControls);
	connect(trackList, &QListWidget::itemSelectionChanged, this, &Tracklane::updateTransportControls);
	connect(trackList->model(), &QAbstractItemModel::rowsMoved, this, &Tracklane::syncTracksFromList);
	connect(addFilesButton, &QToolButton::clicked, this, &Tracklane::addFilesFromDialog);
	connect(removeAction, &QAction::triggered, this, &Tracklane::removeSelectedTracks);
	connect(undoRemoveAction, &QAction::triggered, this, &Tracklane::undoLastRemoval);
	connect(locateCurrentAction, &QAction::triggered, this, &Tracklane::locateCurrentTrack);
	connect(openFolderAction, &QAction::triggered, this, &Tracklane::openTrackFolder);
	connect(moveUpAction, &QAction::triggered, this, [this]() { moveCurrentTrack(-1); });
	connect(moveDownAction, &QAction::triggered, this, [this]() { moveCurrentTrack(+1); });
	connect(moveTopAction, &QAction::triggered, this, [this]() { moveCurrentTrack(-trackList->currentRow()); });
	connect(moveBottomAction, &QAction::triggered, this,
		[this]() { moveCurrentTrack(trackList->count() - trackList->currentRow() - 1); });
	connect(playPauseButton, &QToolButton::clicked, this, &Tracklane::togglePlayPause);
	connect(previousButton, &QToolButton::clicked, this, &Tracklane::playPrevious);
	connect(nextButton, &QToolButton::clicked, this, &Tracklane::playNext);
	connect(stopButton, &QToolButton::clicked, this, &Tracklane::stopPlayback);
	connect(restorePlaylistAction, &QAction::triggered, this, &Tracklane::restorePlaylist);
	connect(endModeCombo, &QComboBox::currentIndexChanged, this, &Tracklane::setEndModeFromCombo);
	connect(seekSlider, &SeekSlider::sliderPressed, this, &Tracklane::onSeekPressed);
	connect(seekSlider, &SeekSlider::sliderMoved, this, &Tracklane::onSeekMoved);
	connect(seekSlider, &SeekSlider::sliderReleased, this, &Tracklane::onSeekReleased);

	// No control shows a tooltip; the button texts are for screen readers only.
	const QList<QWidget *> descendants = findChildren<QWidget *>();
	for (QWidget *widget : descendants)
		widget->setToolTip(QString());

	// The dock's keys are looked at before the focused control and the host's shortcuts see them.
	for (QWidget *widget : descendants) {
		if (widget->focusPolicy() != Qt::NoFocus)
			widget->installEventFilter(this);
	}
}

void Tracklane::startSelectedTrack()
{
	const QString id = selectedTrackId();
	if (!id.isEmpty())
		loadTrack(id, true);
}

void Tracklane::resizeEvent(QResizeEvent *event)
{
	QWidget::resizeEvent(event);
	const bool narrow = event->size().width() < 600;
	if (!headerGrid || narrow == narrowLayout)
		return;

	narrowLayout = narrow;
	if (narrow) {
		headerGrid->addWidget(headerRow, 0, 0, 1, 3);
		headerGrid->addWidget(searchEdit, 1, 0, 1, 2);
		headerGrid->addWidget(trackCountLabel, 1, 2);
	} else {
		headerGrid->addWidget(headerRow, 0, 0, 1, 1);
		headerGrid->addWidget(searchEdit, 0, 1, 1, 1);
		headerGrid->addWidget(trackCountLabel, 0, 2);
	}
}
