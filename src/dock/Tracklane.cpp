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

	disconnectMediaSignals();
	{
		std::lock_guard<std::mutex> lock(pendingSettingsMutex);
		obs_data_release(pendingSettings);
		pendingSettings = nullptr;
	}
	obs_weak_source_release(boundSource);
	boundSource = nullptr;
}
