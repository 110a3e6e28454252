#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <Qt>

// Values of TrackEntry::sizeBytes that are not a size.
constexpr qint64 SizeNotLocal = -1;
constexpr qint64 SizeNotProbed = -2;
constexpr qint64 SizeMissing = -3;

// Values of TrackEntry::durationMs that are not a duration: a stream, a missing file, or a file
// libavformat could not read or gave no length for; and not looked at yet.
constexpr qint64 DurationUnknown = -1;
constexpr qint64 DurationNotProbed = -2;

// One track of the dock's list. Copied freely; identity is the id, never the path.
struct TrackEntry {
	QString id;
	QString path;
	qint64 sizeBytes;
	qint64 durationMs = DurationNotProbed;
};

// Where a list item carries its TrackEntry.
constexpr int TrackIdRole = Qt::UserRole;
constexpr int TrackPathRole = Qt::UserRole + 1;
constexpr int TrackSizeRole = Qt::UserRole + 2;
constexpr int TrackDurationRole = Qt::UserRole + 3;

// Triangle, text-presentation selector, space: the prefix of the current track's name.
extern const QString CurrentTrackMarker;

// The file patterns a folder in an imported playlist is expanded with.
extern const char MediaFilePatterns[];

// One record of the single-level undo buffer.
struct RemovedTrack {
	TrackEntry entry;
	int index;
};

// What the list looked like for one source, so that coming back to it restores the view.
struct ViewState {
	QString selectedId;
	QString searchText;
	int scrollValue = 0;
};

QString newTrackId();
QString localPathOf(const QString &path);
// A local file that is not there; streams and other remote tracks are never missing.
bool localFileMissing(const QString &path);
QString trackDisplayText(const QString &path, bool current);
// A name or path as drawn: every white-space character (line breaks, tabs) and every bidirectional
// control (embeddings, overrides, isolates, marks) becomes a plain space, so that a file name keeps
// to one line and to the order of its characters (after a right-to-left override, U+202E, the rest
// of the name would otherwise show reversed).
QString singleLineText(QString text);
// Every folder among paths replaced by its media files; paths in knownTracks are taken as tracks
// without asking the file system.
QStringList expandFolders(const QStringList &paths, const QSet<QString> &knownTracks = {});
bool revealInFileManager(const QString &filePath);
