#include "dock/Tracklane.hpp"
#include "module/plugin-main.hpp"
#include "playback/SeekSlider.hpp"

#include <QLabel>

#include <algorithm>

QString formatTime(qint64 ms)
{
	qint64 seconds = ms / 1000;
	if (seconds < 1)
		seconds = 0;
	const qint64 minutes = seconds / 60;
	const int rest = int(seconds - 60 * minutes);
	// Put together by hand: the poll formats times several times a tick, and QString::arg parses
	// its pattern on every call.
	QString text = QString::number(minutes);
	text.reserve(text.size() + 3);
	text += QLatin1Char(':');
	text += QLatin1Char(char('0' + rest / 10));
	text += QLatin1Char(char('0' + rest % 10));
	return text;
}

void Tracklane::updateTimeLabel(qint64 positionMs)
{
	QString text;
	if (showRemainingTime) {
		text = QStringLiteral(u"\u2212") + (durationMs < 1
							    ? QStringLiteral(u"\u2014:\u2014")
							    : formatTime(std::max<qint64>(0, durationMs - positionMs)));
	} else {
		text = formatTime(positionMs);
	}
	// Most polls land within the same second; remaining times carry a minus sign, so the same text
	// also means the same display mode and the same accessible name, once one has been given.
	if (text == timeLabel->text() && !timeLabel->accessibleName().isEmpty())
		return;
	timeLabel->setText(text);
	timeLabel->setAccessibleName(moduleQString(showRemainingTime ? "RemainingTime" : "ElapsedTime") +
				     QLatin1Char(' ') + text);
}

void Tracklane::toggleTimeDisplay()
{
	showRemainingTime = !showRemainingTime;

	qint64 position = 0;
	if (seekSlider->isSliderDown()) {
		position = qint64(seekSlider->value()) * durationMs / 1000;
	} else if (pendingSeekMs >= 0) {
		position = pendingSeekMs;
	} else if (OBSSourceAutoRelease source = resolveBoundSource()) {
		position = obs_source_media_get_time(source);
	}
	updateTimeLabel(position);
	saveDockSettings();
}

void Tracklane::onSeekPressed()
{
	pendingSeekMs = -1;
	updateTimeLabel(qint64(seekSlider->value()) * durationMs / 1000);
}

void Tracklane::onSeekMoved(int value)
{
	updateTimeLabel(qint64(value) * durationMs / 1000);
}

void Tracklane::onSeekReleased()
{
	// Disabling a held slider releases it: the switch that disabled it must not get a seek meant
	// for the track it replaces.
	if (trackSwitchPending || !seekSlider->isEnabled())
		return;
	OBSSourceAutoRelease source = resolveBoundSource();
	if (!source)
		return;
	if (durationMs != 0)
		seekSource(source, durationMs * seekSlider->value() / 1000);
}

void Tracklane::seekSource(obs_source_t *source, qint64 ms)
{
	pendingSeekMs = ms;
	seekTimer.restart();
	updateTimeLabel(pendingSeekMs);
	obs_source_media_set_time(source, pendingSeekMs);
}
