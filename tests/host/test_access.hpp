#pragma once

// Tests read and set the dock's private state through this friend of Tracklane.

#include "dock/Tracklane.hpp"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#define TRACKLANE_FIELD(name)              \
	static auto &name(Tracklane &dock) \
	{                                  \
		return dock.name;          \
	}

struct TracklaneTestAccess {
	TRACKLANE_FIELD(settingsPath)
	TRACKLANE_FIELD(sourceUuid)
	TRACKLANE_FIELD(boundSource)
	// OBSSignal keeps what it is connected to to itself; the dock notes the handler beside it.
	struct ConnectionView {
		signal_handler_t *handler;
	};
	static ConnectionView mediaStoppedConnection(Tracklane &dock) { return {dock.mediaSignals}; }
	TRACKLANE_FIELD(pendingSettingsMutex)
	TRACKLANE_FIELD(pendingSettings)
	TRACKLANE_FIELD(switchGeneration)
	TRACKLANE_FIELD(trackSwitchPending)
	TRACKLANE_FIELD(sceneSwitchAfterLoad)
	TRACKLANE_FIELD(tracks)
	TRACKLANE_FIELD(removedTracks)
	TRACKLANE_FIELD(viewStates)
	TRACKLANE_FIELD(observedPlaylist)
	TRACKLANE_FIELD(currentTrackId)
	TRACKLANE_FIELD(managed)
	TRACKLANE_FIELD(originalLoop)
	TRACKLANE_FIELD(originalShuffle)
	TRACKLANE_FIELD(originalBehavior)
	TRACKLANE_FIELD(suspended)
	TRACKLANE_FIELD(closing)
	TRACKLANE_FIELD(rebuildingList)
	TRACKLANE_FIELD(showRemainingTime)
	TRACKLANE_FIELD(narrowLayout)
	TRACKLANE_FIELD(playbackArmed)
	TRACKLANE_FIELD(endMode)
	TRACKLANE_FIELD(pollTickCount)
	TRACKLANE_FIELD(durationMs)
	TRACKLANE_FIELD(pendingSeekMs)
	TRACKLANE_FIELD(playStartTimer)
	TRACKLANE_FIELD(seekTimer)
	TRACKLANE_FIELD(pollTimer)
	TRACKLANE_FIELD(configChangedTimer)
	TRACKLANE_FIELD(sourceSelector)
	TRACKLANE_FIELD(headerGrid)
	TRACKLANE_FIELD(headerRow)
	TRACKLANE_FIELD(searchEdit)
	TRACKLANE_FIELD(trackList)
	TRACKLANE_FIELD(trackCountLabel)
	TRACKLANE_FIELD(timeLabel)
	TRACKLANE_FIELD(messageLabel)
	TRACKLANE_FIELD(seekSlider)
	TRACKLANE_FIELD(endModeCombo)
	TRACKLANE_FIELD(playPauseButton)
	TRACKLANE_FIELD(previousButton)
	TRACKLANE_FIELD(nextButton)
	TRACKLANE_FIELD(stopButton)
	TRACKLANE_FIELD(addFilesButton)
	TRACKLANE_FIELD(removeAction)
	TRACKLANE_FIELD(undoRemoveAction)
	TRACKLANE_FIELD(locateCurrentAction)
	TRACKLANE_FIELD(openFolderAction)
	TRACKLANE_FIELD(moveUpAction)
	TRACKLANE_FIELD(moveDownAction)
	TRACKLANE_FIELD(moveTopAction)
	TRACKLANE_FIELD(moveBottomAction)
	TRACKLANE_FIELD(restorePlaylistAction)
	TRACKLANE_FIELD(endHandOverDue)
	TRACKLANE_FIELD(endHandOverTimer)
	TRACKLANE_FIELD(fileProbe)
	TRACKLANE_FIELD(probesAwaited)
	TRACKLANE_FIELD(showDurations)
	TRACKLANE_FIELD(showDurationsAction)

	// Lets the UI thread take what the file workers found until every figure the dock asked for
	// has arrived; false if that took longer than timeoutMs (a liveness bound, not a speed check).
	static bool settleFileProbes(Tracklane &dock, int timeoutMs = 60000)
	{
		QElapsedTimer waited;
		waited.start();
		while (dock.fileProbesPending()) {
			if (waited.elapsed() > timeoutMs)
				return false;
			QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
			QThread::msleep(1);
		}
		QCoreApplication::processEvents();
		return true;
	}
};

#undef TRACKLANE_FIELD

using TA = TracklaneTestAccess;
