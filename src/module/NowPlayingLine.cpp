#include "module/NowPlayingLine.hpp"
#include "tracks/TrackEntry.hpp"

#include <QList>
#include <QTextBoundaryFinder>
#include <QUrl>

#include <algorithm>
#include <cstring>

namespace tracklane {

namespace {

enum class Field { None, Title, Artist, Album, File, Number, Count, Duration };

struct Token {
	Field field = Field::None; // None: literal text
	QString text;
};

Field fieldNamed(QStringView word)
{
	static const struct {
		const char *name;
		Field field;
	} fields[] = {
		{"title", Field::Title},   {"artist", Field::Artist}, {"album", Field::Album},
		{"file", Field::File},     {"number", Field::Number}, {"count", Field::Count},
		{"duration", Field::Duration},
	};
	for (const auto &f : fields)
		if (word == QLatin1String(f.name))
			return f.field;
	return Field::None;
}

void addLiteral(QList<Token> &tokens, QStringView text)
{
	if (text.isEmpty())
		return;
	if (tokens.isEmpty() || tokens.last().field != Field::None)
		tokens.append(Token{});
	tokens.last().text += text;
}

QList<Token> parse(const QString &lineTemplate)
{
	QList<Token> tokens;
	const qsizetype n = lineTemplate.size();
	qsizetype i = 0;
	while (i < n) {
		const QChar c = lineTemplate.at(i);
		const QChar next = i + 1 < n ? lineTemplate.at(i + 1) : QChar();
		if ((c == QLatin1Char('{') || c == QLatin1Char('}')) && next == c) {
			addLiteral(tokens, QStringView(lineTemplate).mid(i, 1));
			i += 2;
			continue;
		}
		if (c == QLatin1Char('{')) {
			const qsizetype close = lineTemplate.indexOf(QLatin1Char('}'), i + 1);
			const Field field = close < 0 ? Field::None
						      : fieldNamed(QStringView(lineTemplate).mid(i + 1, close - i - 1));
			if (field != Field::None) {
				tokens.append(Token{field, QString()});
				i = close + 1;
				continue;
			}
		}
		addLiteral(tokens, QStringView(lineTemplate).mid(i, 1));
		++i;
	}
	return tokens;
}

QString valueOf(Field field, const LineFields &f)
{
	switch (field) {
	case Field::Title:
		return f.title;
	case Field::Artist:
		return f.artist;
	case Field::Album:
		return f.album;
	case Field::File:
		return f.file;
	case Field::Number:
		return f.number > 0 ? QString::number(f.number) : QString();
	case Field::Count:
		return f.count > 0 ? QString::number(f.count) : QString();
	case Field::Duration:
		return formatDuration(f.durationMs);
	case Field::None:
		break;
	}
	return QString();
}

bool isLineBreak(char16_t u)
{
	return u == u'\n' || u == u'\r' || u == 0x0085 || u == 0x2028 || u == 0x2029;
}

// Marks and embeddings that reorder what follows them: from a file's tags they could make the
// line read differently from what the file says.
bool isBidiControl(char16_t u)
{
	return u == 0x061C || u == 0x200E || u == 0x200F || (u >= 0x202A && u <= 0x202E) ||
	       (u >= 0x2066 && u <= 0x2069);
}

QChar closingBracketOf(QChar opener)
{
	static const char16_t pairs[][2] = {{u'(', u')'},       {u'[', u']'},       {u'<', u'>'},
					    {0x00AB, 0x00BB}, {0x201C, 0x201D}, {0x2018, 0x2019},
					    {0x300C, 0x300D}, {0xFF08, 0xFF09}, {0x3010, 0x3011}};
	for (const auto &pair : pairs)
		if (opener.unicode() == pair[0])
			return QChar(pair[1]);
	return QChar();
}

// How much of a tag is decoded at all; far more than NowPlayingTagMax characters fit in it.
constexpr size_t RawTagMax = 8192;

} // namespace

QString defaultLineTemplate()
{
	return QStringLiteral(u"{artist} \u2013 {title}");
}

QString renderLine(const QString &lineTemplate, const LineFields &fields)
{
	LineFields f = fields;
	if (f.title.isEmpty()) {
		f.title = f.file;
		f.artist.clear();
		f.album.clear();
	}

	const QList<Token> tokens = parse(lineTemplate);
	QList<QString> values;
	values.reserve(tokens.size());
	for (const Token &token : tokens)
		values << (token.field == Field::None ? token.text : valueOf(token.field, f));

	const auto isField = [&](qsizetype i) {
		return i >= 0 && i < tokens.size() && tokens[i].field != Field::None;
	};
	const auto isLiteral = [&](qsizetype i) {
		return i >= 0 && i < tokens.size() && tokens[i].field == Field::None;
	};
	for (qsizetype i = 0; i < tokens.size(); ++i) {
		if (!isField(i) || !values[i].isEmpty())
			continue;
		// Brackets right around it are its own: "({album})" goes whole.
		if (isLiteral(i - 1) && isLiteral(i + 1) && !values[i - 1].isEmpty() && !values[i + 1].isEmpty()) {
			const QChar closer = closingBracketOf(values[i - 1].back());
			if (!closer.isNull() && values[i + 1].front() == closer) {
				values[i - 1].chop(1);
				values[i + 1].remove(0, 1);
			}
		}
		// So is what joins it to the next placeholder; the last one is joined to the one before.
		const bool joinedToNext = isLiteral(i + 1) && isField(i + 2);
		const bool last = !isField(i + 1) && !isField(i + 2);
		if (joinedToNext)
			values[i + 1].clear();
		else if (last && isLiteral(i - 1) && isField(i - 2))
			values[i - 1].clear();
	}
	QString line;
	for (const QString &value : values)
		line += value;
	return cutText(line, NowPlayingLineMax);
}

QString cleanTag(const char *utf8)
{
	if (!utf8)
		return QString();
	const QString raw = QString::fromUtf8(utf8, qsizetype(strnlen(utf8, RawTagMax)));
	QString out;
	out.reserve(std::min<qsizetype>(raw.size(), NowPlayingTagMax + 1));
	bool space = false;
	for (const QChar c : raw) {
		const char16_t u = c.unicode();
		if (isBidiControl(u) || u == 0xFEFF)
			continue;
		if (isLineBreak(u) || c.isSpace()) {
			space = true;
			continue;
		}
		if (c.category() == QChar::Other_Control)
			continue;
		if (space && !out.isEmpty())
			out += QLatin1Char(' ');
		space = false;
		out += c;
		// Enough to cut from; the rest would only be thrown away.
		if (out.size() > NowPlayingTagMax + 8)
			break;
	}
	return cutText(out, NowPlayingTagMax);
}

QString cleanOperatorText(const QString &text)
{
	QString out;
	out.reserve(std::min<qsizetype>(text.size(), NowPlayingTemplateMax + 1));
	for (qsizetype i = 0; i < text.size() && out.size() <= NowPlayingTemplateMax + 8; ++i) {
		const QChar c = text.at(i);
		const char16_t u = c.unicode();
		if (u == u'\r' && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n'))
			continue;
		if (isLineBreak(u))
			out += QLatin1Char('\n');
		else if (c.category() != QChar::Other_Control)
			out += c;
	}
	return cutText(out, NowPlayingTemplateMax);
}

QString fileBaseName(const QString &path)
{
	QString name = trackDisplayText(path, false);
	if (path.contains(QStringLiteral("://")) && !QUrl(path, QUrl::TolerantMode).isLocalFile())
		name = QUrl::fromPercentEncoding(name.toUtf8());
	// Only the last extension goes ("live.2024.mp3" is "live.2024"); a leading dot is the name's.
	const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
	if (dot > 0 && !name.contains(QLatin1Char('/')))
		name.truncate(dot);
	return name;
}

QString formatDuration(qint64 ms)
{
	if (ms <= 0)
		return QString();
	const qint64 seconds = ms / 1000;
	const qint64 hours = seconds / 3600;
	const qint64 minutes = (seconds % 3600) / 60;
	const QString ss = QStringLiteral("%1").arg(seconds % 60, 2, 10, QLatin1Char('0'));
	if (hours > 0)
		return QStringLiteral("%1:%2:%3").arg(hours).arg(minutes, 2, 10, QLatin1Char('0')).arg(ss);
	return QStringLiteral("%1:%2").arg(minutes).arg(ss);
}

QString cutText(const QString &text, int max)
{
	if (text.size() <= max)
		return text;
	// One unit is kept for the ellipsis; the cut falls between two characters a reader sees as
	// one each (a letter and its accents, an emoji and its modifiers stay together).
	qsizetype at = max - 1;
	QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
	finder.setPosition(at);
	if (!finder.isAtBoundary()) {
		const qsizetype previous = finder.toPreviousBoundary();
		if (previous > 0)
			at = previous;
		else if (text.at(at - 1).isHighSurrogate())
			--at;
	}
	return text.left(at) + QChar(0x2026);
}

} // namespace tracklane
