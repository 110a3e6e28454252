#include "dock/Tracklane.hpp"

Tracklane::Tracklane(const QString &settingsPath_, QWidget *parent) : QWidget(parent), settingsPath(settingsPath_)
{
	setObjectName(QStringLiteral("OBS-Tracklane-content"));
	buildUi();
	loadDockSettings();
	updateTimeLabel(0);

	pollTimer.setInterval(250);
	connect(&pollTimer, &QTimer::timeout, this, &Tracklane::pollTick);
	pollTimer.start();

	configChangedTimer.setSingleShot(true);
	configChangedTimer.setInterval(500);
	connect(&configChangedTimer, &QTimer::timeout, this, &Tracklane::configurationChanged);

	endHandOverCheck.setSingleShot(true);
	endHandOverCheck.setInterval(5);
	connect(&endHandOverCheck, &QTimer::timeout, this, &Tracklane::checkEndHandOver);

	updateTransportControls();
}

Tracklane::~Tracklane()
{
	// Take the binding down while every child widget still exists.
	if (!closing) {
		pollTimer.stop();
		resetBinding();
		closing = true;
	}
	pollTimer.stop();
	configChangedTimer.stop();
	endHandOverCheck.stop();
	stopFileProbes();

	// The host's handles go with the members, after this: the pending settings, then the weak
	// reference to the bound source.
	disconnectMediaSignals();
}
