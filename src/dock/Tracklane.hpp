#pragma once

#include <obs.h>
#include <obs.hpp>

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <mutex>

#include "playback/MixPasses.hpp"
#include "playback/PlaybackNotices.hpp"
#include "tracks/FileProbe.hpp"
#include "tracks/TrackEntry.hpp"

class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QToolButton;
class QAction;
class QResizeEvent;
class QDropEvent;
class SeekSlider;

// The dock: one widget that carries all of the dock's state. Its operations are spread over one
// source file per concern (src/dock, src/tracks, src/source, src/playback), named after the class.
class Tracklane : public QWidget {
	Q_OBJECT

public:
	Tracklane(const QString &settingsPath, QWidget *parent);
	~Tracklane() override;

	bool eventFilter(QObject *watched, QEvent *event) override;

	// Dock shell (src/dock)
	void showMessage(const QString &text);
	void clearMessage();
	void showAboutBox();
	void loadDockSettings();
	void saveDockSettings();

	// Host life cycle (src/source/Tracklane_SourceBinding.cpp)
	void onCollectionLoaded();
	OBSSourceAutoRelease resolveBoundSource() const;
	void bindSource(const QString &uuid);
	void resetBinding();

	// Source selector (src/source/Tracklane_SourceSelector.cpp)
	void refreshSourceSelector();
	void onSourceSelected(int index);
	void onRefreshClicked();

	// Per-source saved state (src/source/Tracklane_SourceState.cpp)
	void saveSourceState();
	void loadSourceState(obs_source_t *source, bool force);

	// Track switch through the source (src/source/Tracklane_PlaylistSync.cpp)
	void loadTrack(const QString &trackId, bool switchScene);
	void cancelPendingSwitch();
	void restorePlaylist();
	void checkExternalChange(obs_source_t *source);
	static void onMediaStopped(void *param, calldata_t *data);
	static void onSourceUpdated(void *param, calldata_t *data);
	static void onMediaStarted(void *param, calldata_t *data);
	static void onMediaEnded(void *param, calldata_t *data);

	// Track list (src/tracks)
	void rebuildTrackList(const QString &selectId);
	void syncTracksFromList();
	QString selectedTrackId() const;
	int currentTrackIndex() const;
	void markCurrentTrack(const QString &trackId, const QString &previousId);
	void restorePreSwitchTrack();
	void addFilesFromDialog();
	void appendTracks(const QStringList &paths);
	void showTrackContextMenu(const QPoint &pos);
	void moveCurrentTrack(int offset);
	void removeSelectedTracks();
	void undoLastRemoval();
	void locateCurrentTrack();
	void openTrackFolder();
	void focusSearch();
	void applyFilter();
	void saveViewState();
	void restoreViewState(const QString &uuid);
	void updateTrackCountLabel();
	void setShowDurations(bool on);

	// File sizes and durations, looked at off the UI thread (src/tracks/Tracklane_FileFigures.cpp)
	void applyFileFigures(quint64 generation, const QList<FileProbe::Result> &results);
	bool fileProbesPending() const;
	// From the current track's position to the end of the list, in what is known (-1 with no
	// current track); unknown, if given, receives how many tracks of that stretch have no length.
	qint64 listRemainingMs(int *unknown = nullptr) const;

	// Playback (src/playback)
	void togglePlayPause();
	void playPrevious();
	void playNext();
	void stopPlayback();
	void setEndModeFromCombo();
	void handleEndOfTrack(int state, int currentIndex);
	void finishTrackSwitch(qint64 generation);
	void updateTransportControls();
	void pollTick();
	void stopPolling();
	void updateTimeLabel(qint64 positionMs);
	void toggleTimeDisplay();
	void onSeekPressed();
	void onSeekMoved(int value);
	void onSeekReleased();

	// Outside control (src/playback/Tracklane_OutsideControl.cpp): what hotkeys and remote requests
	// may read and do. Commands go through the dock's own controls after updateTransportControls,
	// so a control the operator could not use right now does nothing, as a click on it would.
	enum class Command { PlayPause, Stop, Previous, Next, PlaySelected, RestorePlaylist };
	enum class Outcome { Done, Unbound, UnknownTrack, MissingFile, SwitchPending, BadArgument };
	struct TrackInfo {
		QString id;
		int number = 0; // 1-based place in the list; 0 for none
		QString path;
		QString name;
		bool missing = false; // only from trackInfos(true)
		qint64 durationMs = DurationUnknown;
	};
	struct StatusInfo {
		bool bound = false;
		QString sourceName;
		QString sourceUuid;
		int mediaState = OBS_MEDIA_STATE_NONE;
		TrackInfo current;
		qint64 elapsedMs = 0;
		qint64 durationMs = 0;
		int endMode = 0;
		int trackCount = 0;
		bool managed = false;
		bool switchPending = false;
		// How many times the source has begun a track the dock loaded (repeats count, a resume
		// does not), so that a look now and then misses no start, however short the track.
		quint64 trackStarts = 0;
		// From the current position to the end of the list; -1 with no current track.
		qint64 listRemainingMs = -1;
		int listRemainingUnknown = 0;
	};
	Outcome runCommand(Command command);
	Outcome playTrackById(const QString &trackId);
	Outcome seekTo(qint64 ms);
	Outcome setEndMode(int mode);
	StatusInfo statusInfo() const;
	// With checkFiles, each local track's file is looked at now (one file-system check per track).
	QList<TrackInfo> trackInfos(bool checkFiles) const;
	// Starts and stops of what the dock plays, for capabilities that follow them.
	PlaybackNotices &playbackNotices() { return notices; }

Q_SIGNALS:
	void configurationChanged();
	void sceneSwitchRequested(QString sourceUuid);

protected:
	void resizeEvent(QResizeEvent *event) override;

private:
	friend struct TracklaneTestAccess;

	void buildUi();
	QToolButton *makeToolButton(QWidget *parent, const QString &name, const QString &text,
				    const QString &iconClass);
	void startSelectedTrack();
	void connectMediaSignals(obs_source_t *source);
	void disconnectMediaSignals();
	bool mediaEventGeneration(quint64 &generation);
	static void postMediaEvent(void *param, void (Tracklane::*note)(qint64));
	void noteTrackStarted(qint64 generation);
	void noteTrackEnded(qint64 generation);
	void noteStopped(qint64 generation);
	void noteSourceUpdated(const obs_source_t *updated);
	void takeOutsideChange(obs_source_t *source, const QList<QString> &playlist);
	void adoptOutsidePlaylist(const QList<QString> &playlist);
	void followPlaylistTaken(const QList<QString> &playlist);
	void trackAfterTaking(const QList<QString> &playlist, QString &trackId, bool &isManaged) const;
	void checkEndHandOver();
	bool tailStillHeard(int state) const;
	void evaluateEndOfTrack();
	void seekSource(obs_source_t *source, qint64 ms);
	void clearBindingState();
	void closeListMenu();
	bool dockActive() const;
	bool showSizeTooltip(QEvent *event);
	bool handleExternalDrag(QEvent *event);
	bool handleDockKey(QObject *watched, QEvent *event);
	void dropWithinList(QDropEvent *drop);
	void runEndMode(int currentIndex);
	QString heldTrackId() const;
	bool switchUnderWay(int state) const;
	void stopSource(bool silenceAtOnce);
	static void dropBufferedAudio(obs_source_t *source);
	bool endOfTrackStillAudible() const;
	qint64 endHandOverBoundMs() const;
	void rebuildSourceSelector();
	struct DurationTotals {
		qint64 knownMs = 0;
		int unknown = 0;
	};
	DurationTotals durationTotals(qsizetype from, qint64 currentPositionMs) const;
	DurationTotals suffixTotals(qsizetype start) const;
	static QString durationTotalText(const DurationTotals &totals);
	void queueFileProbes(QList<FileProbe::Job> jobs);
	void takeKnownFigures(TrackEntry &entry, int row, QHash<QString, FileFigures> &known,
			      QHash<QString, qsizetype> &jobOfPath, QList<FileProbe::Job> &jobs);
	void cancelFileProbes();
	void stopFileProbes();

	QString settingsPath;
	QString sourceUuid;
	// Declared in this order so that they go in the reverse one: the signal connections first (no
	// callback reads what follows after them), then the pending settings, then the weak reference.
	OBSWeakSourceAutoRelease boundSource;
	std::mutex pendingSettingsMutex;
	OBSDataAutoRelease pendingSettings;
	quint64 switchGeneration = 0;
	// The operator's stop, until the source confirms it: what it handed over meanwhile is dropped.
	bool silenceWhenStopped = false;
	// The signal handler the connections below are made on, none while they are down.
	signal_handler_t *mediaSignals = nullptr;
	OBSSignal mediaStoppedConnection;
	OBSSignal mediaStartedConnection;
	OBSSignal mediaEndedConnection;
	OBSSignal sourceUpdatedConnection;
	bool trackSwitchPending = false;
	bool sceneSwitchAfterLoad = false;
	QList<TrackEntry> tracks;
	QList<RemovedTrack> removedTracks;
	QHash<QString, ViewState> viewStates;
	QList<QString> observedPlaylist;
	QString currentTrackId;
	bool managed = false;
	bool originalLoop = false;
	bool originalShuffle = false;
	QString originalBehavior;
	bool suspended = true;
	bool closing = false;
	bool rebuildingList = false;
	bool showRemainingTime = false;
	bool narrowLayout = false;
	bool playbackArmed = false;
	// A poll saw the current start playing. With the source's time and length at the end, this
	// tells a track that played from a file the source only began to open.
	bool trackPlayed = false;
	qint32 endMode = 0;
	qint32 pollTickCount = 0;
	qint64 durationMs = 0;
	qint64 pendingSeekMs = -1;
	QElapsedTimer playStartTimer;
	QElapsedTimer seekTimer;
	QTimer pollTimer;
	QTimer configChangedTimer;
	QComboBox *sourceSelector = nullptr;
	QGridLayout *headerGrid = nullptr;
	QWidget *headerRow = nullptr;
	QLineEdit *searchEdit = nullptr;
	QListWidget *trackList = nullptr;
	QMenu *listMenu = nullptr;
	QLabel *trackCountLabel = nullptr;
	QLabel *timeLabel = nullptr;
	QLabel *messageLabel = nullptr;
	SeekSlider *seekSlider = nullptr;
	QComboBox *endModeCombo = nullptr;
	QToolButton *playPauseButton = nullptr;
	QToolButton *previousButton = nullptr;
	QToolButton *nextButton = nullptr;
	QToolButton *stopButton = nullptr;
	QToolButton *addFilesButton = nullptr;
	QAction *removeAction = nullptr;
	QAction *undoRemoveAction = nullptr;
	QAction *locateCurrentAction = nullptr;
	QAction *openFolderAction = nullptr;
	QAction *moveUpAction = nullptr;
	QAction *moveDownAction = nullptr;
	QAction *moveTopAction = nullptr;
	QAction *moveBottomAction = nullptr;
	QAction *restorePlaylistAction = nullptr;
	// The end mode's hand-over waits while the ended track's buffered audio is still being heard.
	bool endHandOverDue = false;
	QElapsedTimer endHandOverTimer;
	// The mix's pass count when the end was seen; the source's last audio came in before that.
	MixPasses mixPasses;
	uint64_t endSeenAtMixPass = 0;
	// Looks again soon after the tail may have run out, so the next track follows without a gap.
	QTimer endHandOverCheck;
	// The position last seen while playing, and since when: while the ended track's tail is still
	// heard, the time shown runs on from there to the end.
	qint64 lastPlayingTimeMs = 0;
	quint64 trackStarts = 0;
	QElapsedTimer lastPlayingClock;
	// What the source held when the pending switch was asked for (a second switch before the stop
	// keeps them): until the source takes the switch, they are what a save records.
	QString preSwitchTrackId;
	bool preSwitchManaged = false;
	// The track a completed switch loaded has not begun yet while trackStarts is still this.
	bool startAwaited = false;
	quint64 startsBeforeSwitch = 0;
	// Where the current track was last found in tracks; checked before use, so never trusted blindly.
	mutable qsizetype currentTrackIndexHint = -1;
	// Whether the last filter left any row of trackList hidden; an empty search over a list with
	// none hidden has nothing to show, which spares every rebuild a walk over all rows.
	bool filterHidesRows = false;
	// The raw facts the source selector was last built from (sources, names, scenes, items); while
	// they stay the same, the once-a-second refresh skips building labels it already shows.
	QByteArray selectorSnapshot;
	// The playlist the source last took with an update of its own (its "update" signal), which is
	// what it plays: a playlist only written into its settings (the Properties window's Cancel puts
	// back the settings it opened with and updates nothing) is not played until the source takes it.
	QList<QString> appliedPlaylist;
	// An outside playlist was taken as observed while the source still played the one before.
	bool outsideChangeAwaitsSource = false;
	// The source's playlist when the pending switch was asked for.
	QList<QString> playlistAtSwitchRequest;
	PlaybackNotices notices;
	// Looks at the tracks' files on threads of its own; made when the first file is to be looked at.
	std::unique_ptr<FileProbe> fileProbe;
	// Tracks whose figures were asked for in this binding and have not arrived yet.
	QSet<QString> probesAwaited;
	// The size column shows durations instead of sizes.
	bool showDurations = false;
	QAction *showDurationsAction = nullptr;
	// Rows the last filter let through, for the count label.
	int filterMatches = 0;
	// The current track's position at the last poll, for what remains of the list.
	qint64 listPositionMs = 0;
	// Changes with every change of tracks or of their figures (rebuild, copy-back, figures).
	quint64 tracksStamp = 0;
	struct TotalsCache {
		quint64 stamp = ~quint64(0);
		qsizetype start = -1;
		DurationTotals totals;
	};
	mutable TotalsCache totalsCache[2];
};

// Milliseconds as minutes and two-digit seconds ("62:05"); negative times read as 0:00.
QString formatTime(qint64 ms);
