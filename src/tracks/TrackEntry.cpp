#include "tracks/TrackEntry.hpp"

#include <QUuid>

const QString CurrentTrackMarker = QStringLiteral(u"\u25B6\uFE0E ");

const char MediaFilePatterns[] = "*.mp3 *.wav *.flac *.aac *.ogg *.m4a *.opus *.wma *.mp4 *.mkv *.mov *.avi *.webm "
				 "*.m4v *.ts *.flv *.wmv *.mpg *.mpeg";

QString newTrackId()
{
	return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QString localPathOf(const QString &path)
{
	return QString();
}

QString trackDisplayText(const QString &path, bool current)
{
	return path;
}

QStringList expandFolders(const QStringList &paths)
{
	return paths;
}
