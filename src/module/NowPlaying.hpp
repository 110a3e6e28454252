#pragma once

#include "dock/Tracklane.hpp"
#include "module/NowPlayingLine.hpp"

#include <obs.h>
#include <obs-frontend-api.h>

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>

namespace tracklane {

class LineFileWriter;

// What the operator set up for the audience. Kept with the scene collection, since the text
// source belongs to it; a collection that has none of it starts with everything off.
struct NowPlayingSettings {
	QString textSourceUuid; // empty: no text source
	QString filePath;       // empty: no file
	QString lineTemplate = defaultLineTemplate();
	QString idleText; // what is shown while nothing plays; may be empty

	bool operator==(const NowPlayingSettings &other) const;
	bool operator!=(const NowPlayingSettings &other) const { return !(*this == other); }
};

// The tags of the track the dock started last, as its source gave them once it had opened it.
struct TrackTags {
	quint64 start = 0; // the dock's start count they belong to; 0 before any start
	QString trackId;
	QString title; // empty when unknown
	QString artist;
	QString album;
	qint64 durationMs = 0;
	// Final: read once the track opened, or given up on (it could not be opened, it took longer
	// than a second, another track came first); the tags stay empty then.
	bool settled = false;
};

// Shows what the dock plays to the audience: a line made from a template and the track's own
// tags, in a text source of the collection and in a text file, at every start of a track the dock
// loaded (repeats too) and, with the operator's text for it, once nothing plays. It follows the
// dock through its public operations only; everything runs on the UI thread but the file's
// writes.
class NowPlaying : public QObject {
	Q_OBJECT

public:
	explicit NowPlaying(Tracklane *dock);
	~NowPlaying() override;

	const NowPlayingSettings &settings() const { return config; }
	// The dialog's changes: they apply at once, and the collection is saved soon after.
	void setSettings(const NowPlayingSettings &settings);

	// The collection's module data, the object "OBS-Tracklane": its member "nowPlaying". A
	// collection without it (own or the member missing) turns everything off.
	void save(obs_data_t *own) const;
	void load(obs_data_t *own);

	// The frontend's events: changing and cleaning up a collection, a collection loaded, exit.
	void followFrontendEvent(enum obs_frontend_event event);

	// A collection is loaded and OBS is not exiting: the line goes out.
	bool isActive() const { return active; }
	QString line() const { return currentLine; }
	TrackTags tags() const { return startTags; }

	enum class TextSourceState { Unset, Ready, Gone, NoText };
	TextSourceState textSourceState() const { return sourceState; }
	QString textSourceName() const { return sourceName; }
	// Why the text file could not be written the last time; empty when it could.
	QString fileError() const { return lastFileError; }
	// Looks at the text source again (removed, renamed, back after an undo) and gives it the line
	// if it lacks it.
	void recheckTextSource();

	LineFileWriter &fileWriter() { return *writer; }

Q_SIGNALS:
	// The settings or a problem changed, or a collection came or went.
	void changed();

private:
	struct Opening {
		quint64 start = 0;
		QString sourceUuid;
		Tracklane::TrackInfo track;
		int trackCount = 0;
	};

	void collectionChanging(bool sourcesThere);
	void collectionLoaded();
	void close();
	void onTrackStarted();
	void onPlaybackStopped();
	void checkOpened();
	void stopWaiting();
	void readTags(const Tracklane::StatusInfo &status);
	void showTrack();
	void showIdle();
	void watchDock();
	void showLine(const QString &line);
	void applyToTextSource();
	void applyToFile();
	void noteTextSourceState(TextSourceState state, const QString &name);
	static void onSourceUpdated(void *param, calldata_t *data);
	void onFileWritten(const QString &path, const QString &error);

	QPointer<Tracklane> dock;
	NowPlayingSettings config;
	bool active = false;
	bool closed = false;

	// The start being waited on until its track has opened.
	Opening opening;
	bool waitingForOpen = false;
	bool provisionalShown = false;
	QElapsedTimer openClock;
	QTimer openCheck;
	TrackTags startTags;

	// What is shown: a track (its fields, so that a new template applies at once) or the idle text.
	bool showingTrack = false;
	QString shownSourceUuid;
	LineFields shownFields;
	QString currentLine;
	QTimer watch;

	TextSourceState sourceState = TextSourceState::Unset;
	QString sourceName;
	QString checkedUuid; // the text source last looked at for a "text" setting
	bool checkedHasText = false;
	QString loggedSourceProblem;
	bool followsUpdates = false; // connected to libobs's source_update

	std::unique_ptr<LineFileWriter> writer;
	QString requestedPath; // the last line handed to the writer, and for which file
	QString requestedLine;
	QString lastFileError;
	QString loggedFileError;

	QTimer saveSoon;
};

// The module's one NowPlaying, made once the dock is registered; null before and after.
NowPlaying *nowPlaying();
void openNowPlaying(Tracklane *dock);
void closeNowPlaying();
// The frontend's events for it, and at exit the dialog's end.
void nowPlayingFrontendEvent(enum obs_frontend_event event);

// What the Tools menu entry opens: the one dialog, shown and raised.
void showNowPlayingDialog();

} // namespace tracklane
