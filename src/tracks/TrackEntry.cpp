#include "tracks/TrackEntry.hpp"

#include <QDir>
#include <QFileInfo>
#include <QUrl>
#include <QUuid>

const QString CurrentTrackMarker = QStringLiteral(u"\u25B6\uFE0E ");

const char MediaFilePatterns[] = "*.mp3 *.wav *.flac *.aac *.ogg *.m4a *.opus *.wma *.mp4 *.mkv *.mov *.avi *.webm "
				 "*.m4v *.ts *.flv *.wmv *.mpg *.mpeg";

QString newTrackId()
{
	return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// A path without a colon has no URL scheme, so parsing it as a URL would only hand it back; lists
// of thousands of plain paths skip that cost.
static bool mayHaveScheme(const QString &path)
{
	return path.contains(QLatin1Char(':'));
}

QString localPathOf(const QString &path)
{
	if (!mayHaveScheme(path))
		return path;
	const QUrl url(path, QUrl::TolerantMode);
	if (url.isLocalFile())
		return url.toLocalFile();
	// Any other scheme is a stream or a remote file; the dock cannot look at it on disk.
	if (path.contains(QStringLiteral("://")))
		return QString();
	return path;
}

QString trackDisplayText(const QString &path, bool current)
{
	// Remote URLs go through QFileInfo as they are, which yields their last path segment.
	QString p = path;
	if (mayHaveScheme(path)) {
		const QUrl url(path, QUrl::TolerantMode);
		if (url.isLocalFile())
			p = url.toLocalFile();
	}
	QString name = QFileInfo(p).fileName();
	if (name.isEmpty())
		name = path;
	return current ? CurrentTrackMarker + name : name;
}

QStringList expandFolders(const QStringList &paths)
{
	const QStringList nameFilters = QString::fromLatin1(MediaFilePatterns).split(QLatin1Char(' '));
	QStringList expanded;
	for (const QString &path : paths) {
		if (path.contains(QStringLiteral("://"))) {
			expanded.append(path);
			continue;
		}
		const QFileInfo info(path);
		if (!info.isDir()) {
			expanded.append(path);
			continue;
		}
		// The folder's own default order (by name, ignoring case); its sub-folders stay closed.
		const QFileInfoList files = QDir(path).entryInfoList(nameFilters, QDir::Files | QDir::Readable);
		for (const QFileInfo &file : files)
			expanded.append(file.absoluteFilePath());
	}
	return expanded;
}
