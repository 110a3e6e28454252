#include "dock/Tracklane.hpp"
#include "module/plugin-main.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

void Tracklane::loadDockSettings()
{
	if (settingsPath.isEmpty())
		return;
	QFile file(settingsPath);
	if (!file.open(QIODevice::ReadOnly))
		return;

	const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
	sourceUuid = object.value(QStringLiteral("sourceUuid")).toString();
	showRemainingTime = object.value(QStringLiteral("remainingTime")).toBool(false);
	setShowDurations(object.value(QStringLiteral("trackDurations")).toBool(false));
}

void Tracklane::saveDockSettings()
{
	// After the host's exit the dock writes nothing: OBS is tearing down and the file already
	// holds the operator's last choice.
	if (settingsPath.isEmpty() || closing)
		return;

	if (!QDir().mkpath(QFileInfo(settingsPath).absolutePath())) {
		showMessage(moduleQString("CreateSettingsError"));
		return;
	}

	QSaveFile file(settingsPath);
	if (!file.open(QIODevice::WriteOnly)) {
		showMessage(moduleQString("SaveSettingsError").arg(file.errorString(), 0, QLatin1Char(' ')));
		return;
	}

	QJsonObject object;
	object.insert(QStringLiteral("sourceUuid"), sourceUuid);
	object.insert(QStringLiteral("remainingTime"), showRemainingTime);
	object.insert(QStringLiteral("trackDurations"), showDurations);
	const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact);

	if (file.write(bytes) != bytes.size() || !file.commit())
		showMessage(moduleQString("SaveSettingsError").arg(file.errorString(), 0, QLatin1Char(' ')));
}
