#pragma once

#include <QDialog>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QTimer>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace tracklane {

class NowPlaying;

// Where the operator sets up what the audience is shown: the text source, the text file, the
// line's template and the text for when nothing plays. Not modal; every change applies at once.
// It keeps sources by uuid only, and never waits in an event loop of its own.
class NowPlayingDialog : public QDialog {
	Q_OBJECT

public:
	NowPlayingDialog(NowPlaying *nowPlaying, QWidget *parent);

	// The collection's text sources anew, and what NowPlaying holds and found wrong.
	void refresh();

protected:
	void showEvent(QShowEvent *event) override;
	void hideEvent(QHideEvent *event) override;

private:
	void refreshSources();
	void showSettings();
	void showProblems();
	void chooseFile();

	QPointer<NowPlaying> nowPlaying;
	bool applying = false;
	QComboBox *sourceCombo = nullptr;
	QLineEdit *fileEdit = nullptr;
	QPushButton *browseButton = nullptr;
	QPlainTextEdit *templateEdit = nullptr;
	QLineEdit *idleEdit = nullptr;
	QLabel *problemLabel = nullptr;
	QWidget *form = nullptr;
	// The (uuid, name) pairs the combo box lists after its placeholder.
	QList<QPair<QString, QString>> listed;
	// Text sources come, go and are renamed while the dialog is open.
	QTimer refreshTimer;
	QPointer<QWidget> filePicker;
};

} // namespace tracklane
