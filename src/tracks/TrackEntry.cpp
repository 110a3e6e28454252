#include "tracks/TrackEntry.hpp"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>
#include <QUrl>
#include <QUuid>

#include <algorithm>

const QString CurrentTrackMarker = QStringLiteral(u"\u25B6\uFE0E ");

const char MediaFilePatterns[] = "*.mp3 *.wav *.flac *.aac *.ogg *.m4a *.opus *.wma *.mp4 *.mkv *.mov *.avi *.webm "
				 "*.m4v *.ts *.flv *.wmv *.mpg *.mpeg";

QString newTrackId()
{
	// A random (version 4) UUID, as QUuid::createUuid makes, but from the securely seeded global
	// generator: createUuid asks the kernel for every one, which an import of thousands of tracks
	// pays once per track on the UI thread. 122 random bits keep ids unique all the same.
	quint32 words[4];
	QRandomGenerator::global()->fillRange(words);
	uchar bytes[16];
	for (int i = 0; i < 16; ++i)
		bytes[i] = uchar(words[i / 4] >> (8 * (i % 4)));
	bytes[6] = uchar((bytes[6] & 0x0f) | 0x40); // version 4
	bytes[8] = uchar((bytes[8] & 0x3f) | 0x80); // RFC 4122 variant
	return QUuid::fromRfc4122(QByteArrayView(bytes, 16)).toString(QUuid::WithoutBraces);
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

bool localFileMissing(const QString &path)
{
	const QString localPath = localPathOf(path);
	return !localPath.isEmpty() && !QFileInfo(localPath).isFile();
}

// The part QFileInfo::fileName() gives, without building a QFileInfo for every row of a long list.
static QString fileNameOf(const QString &path)
{
#ifdef Q_OS_WIN
	qsizetype separator = std::max(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
	// "C:name" is relative to drive C's current folder; its name follows the colon.
	if (separator < 0 && path.size() >= 2 && path.at(1) == QLatin1Char(':') && path.at(0).isLetter())
		separator = 1;
#else
	const qsizetype separator = path.lastIndexOf(QLatin1Char('/'));
#endif
	return separator < 0 ? path : path.mid(separator + 1);
}

QString trackDisplayText(const QString &path, bool current)
{
	// Remote URLs are split as they are, which yields their last path segment.
	QString p = path;
	if (mayHaveScheme(path)) {
		const QUrl url(path, QUrl::TolerantMode);
		if (url.isLocalFile())
			p = url.toLocalFile();
	}
	QString name = fileNameOf(p);
	if (name.isEmpty())
		name = path;
	return current ? CurrentTrackMarker + name : name;
}

QString singleLineText(QString text)
{
	for (QChar &c : text) {
		const char16_t u = c.unicode();
		const bool bidiControl = u == 0x061C || u == 0x200E || u == 0x200F || (u >= 0x202A && u <= 0x202E) ||
					 (u >= 0x2066 && u <= 0x2069);
		if (bidiControl || c.isSpace())
			c = QLatin1Char(' ');
	}
	return text;
}

QStringList expandFolders(const QStringList &paths, const QSet<QString> &knownTracks)
{
	const QStringList nameFilters = QString::fromLatin1(MediaFilePatterns).split(QLatin1Char(' '));
	QStringList expanded;
	for (const QString &path : paths) {
		// A path the list already held as a track was taken for a file when it came in; asking the
		// disk again would cost a stat per entry on the UI thread, and on a slow disk far more.
		if (path.contains(QStringLiteral("://")) || knownTracks.contains(path)) {
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
