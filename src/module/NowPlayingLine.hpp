#pragma once

#include <QString>

namespace tracklane {

// What a line can tell about the track that plays.
struct LineFields {
	QString title; // the title tag; empty when the track has none
	QString artist;
	QString album;
	QString file; // the file name without its extension
	int number = 0;
	int count = 0;
	qint64 durationMs = 0;
};

// "{artist} – {title}".
QString defaultLineTemplate();

// The line a template gives for a track. {title}, {artist}, {album}, {file}, {number}, {count} and
// {duration} are replaced; any other {word} stays as written; {{ and }} write one brace. A track
// without a title tag is named by its file: {title} gives the file name, {artist} and {album}
// nothing. A placeholder that gives nothing takes with it the brackets right around it and the
// text that joins it to the next placeholder (the last one: to the one before), so that the
// default gives the title alone when there is no artist. The line is cut to NowPlayingLineMax.
QString renderLine(const QString &lineTemplate, const LineFields &fields);

// Lengths past which text is cut (in UTF-16 units, never inside a character).
constexpr int NowPlayingTagMax = 200;
constexpr int NowPlayingTemplateMax = 500;
constexpr int NowPlayingLineMax = 1000;

// A tag as the media file gives it, made fit for one line on the canvas: line breaks and tabs
// become spaces, other control characters, bidirectional controls and byte-order marks go, runs
// of white space become one space, and the text is cut to NowPlayingTagMax.
QString cleanTag(const char *utf8);

// The operator's own text (a template, the text for when nothing plays): line breaks are kept as
// "\n", other control characters go, and the text is cut to NowPlayingTemplateMax.
QString cleanOperatorText(const QString &text);

// A track's file name without its extension; for a stream, the last part of its address.
QString fileBaseName(const QString &path);

// "m:ss" below an hour, "h:mm:ss" from an hour on; empty when the length is not known.
QString formatDuration(qint64 ms);

// Cuts text to at most max UTF-16 units, at a character boundary, ending in "…" when cut.
QString cutText(const QString &text, int max);

} // namespace tracklane
