#include "dock/Tracklane.hpp"
#include "module/plugin-main.hpp"
#include "tracks/TrackEntry.hpp"

#include <QLabel>
#include <QMessageBox>

void Tracklane::showMessage(const QString &text)
{
	// The text often carries a file name: on one line and in its own order, as in the list. The log
	// keeps it as it is.
	messageLabel->setText(QStringLiteral(u"\u26A0 ") + singleLineText(text));
	messageLabel->show();
	blog(LOG_WARNING, "[OBS-Tracklane] %s", text.toUtf8().constData());
}

void Tracklane::clearMessage()
{
	messageLabel->clear();
	messageLabel->hide();
}

void Tracklane::showAboutBox()
{
	QMessageBox::about(this, moduleQString("AboutTitle"),
			   moduleQString("AboutText").arg(moduleQString("DockName"), QString::fromLatin1(tracklane::moduleVersion)));
}
