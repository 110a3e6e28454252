#include "module/NowPlayingDialog.hpp"
#include "module/NowPlaying.hpp"
#include "module/plugin-main.hpp"

#include <obs.h>

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTextCursor>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>
#include <functional>

namespace tracklane {

namespace {

using SourceList = QList<QPair<QString, QString>>;

// The text sources of each platform, every version of them: FreeType 2 on Linux and macOS,
// GDI+ on Windows.
bool isTextSourceType(const char *unversionedId)
{
	return unversionedId &&
	       (std::strcmp(unversionedId, "text_ft2_source") == 0 || std::strcmp(unversionedId, "text_gdiplus") == 0);
}

SourceList textSources()
{
	SourceList sources;
	obs_enum_sources(
		[](void *param, obs_source_t *source) {
			if (!obs_source_removed(source) && isTextSourceType(obs_source_get_unversioned_id(source)))
				static_cast<SourceList *>(param)->append(
					{QString::fromUtf8(obs_source_get_uuid(source)),
					 QString::fromUtf8(obs_source_get_name(source))});
			return true;
		},
		&sources);
	std::sort(sources.begin(), sources.end(),
		  [](const QPair<QString, QString> &a, const QPair<QString, QString> &b) {
			  const int byName = QString::localeAwareCompare(a.second, b.second);
			  return byName != 0 ? byName < 0 : a.first < b.first;
		  });
	return sources;
}

} // namespace

NowPlayingDialog::NowPlayingDialog(NowPlaying *nowPlaying_, QWidget *parent) : QDialog(parent), nowPlaying(nowPlaying_)
{
	setObjectName(QStringLiteral("OBS-Tracklane-NowPlaying"));
	setWindowTitle(moduleQString("NowPlayingTitle"));
	setModal(false);

	form = new QWidget(this);
	auto *formLayout = new QFormLayout(form);
	formLayout->setContentsMargins(0, 0, 0, 0);

	sourceCombo = new QComboBox(form);
	sourceCombo->setObjectName(QStringLiteral("nowPlayingTextSource"));
	sourceCombo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
	formLayout->addRow(moduleQString("NowPlayingTextSource"), sourceCombo);

	auto *fileRow = new QHBoxLayout();
	fileEdit = new QLineEdit(form);
	fileEdit->setObjectName(QStringLiteral("nowPlayingFile"));
	fileEdit->setMinimumWidth(fileEdit->fontMetrics().averageCharWidth() * 40);
	browseButton = new QPushButton(moduleQString("NowPlayingBrowse"), form);
	browseButton->setObjectName(QStringLiteral("nowPlayingBrowse"));
	fileRow->addWidget(fileEdit, 1);
	fileRow->addWidget(browseButton);
	formLayout->addRow(moduleQString("NowPlayingFile"), fileRow);

	templateEdit = new QPlainTextEdit(form);
	templateEdit->setObjectName(QStringLiteral("nowPlayingTemplate"));
	templateEdit->setPlaceholderText(defaultLineTemplate());
	templateEdit->setTabChangesFocus(true);
	templateEdit->setFixedHeight(templateEdit->fontMetrics().lineSpacing() * 3 + 2 * templateEdit->frameWidth() +
				     int(templateEdit->document()->documentMargin() * 2));
	formLayout->addRow(moduleQString("NowPlayingTemplate"), templateEdit);
	auto *help = new QLabel(moduleQString("NowPlayingTemplateHelp"), form);
	help->setObjectName(QStringLiteral("nowPlayingTemplateHelp"));
	help->setTextFormat(Qt::PlainText);
	help->setWordWrap(true);
	formLayout->addRow(QString(), help);

	idleEdit = new QLineEdit(form);
	idleEdit->setObjectName(QStringLiteral("nowPlayingIdleText"));
	idleEdit->setPlaceholderText(moduleQString("NowPlayingIdlePlaceholder"));
	idleEdit->setMaxLength(NowPlayingTemplateMax);
	formLayout->addRow(moduleQString("NowPlayingIdle"), idleEdit);

	problemLabel = new QLabel(this);
	problemLabel->setObjectName(QStringLiteral("nowPlayingProblem"));
	problemLabel->setTextFormat(Qt::PlainText);
	problemLabel->setWordWrap(true);
	problemLabel->hide();

	auto *closeButton = new QPushButton(moduleQString("NowPlayingClose"), this);
	closeButton->setObjectName(QStringLiteral("nowPlayingClose"));
	closeButton->setAutoDefault(false);
	auto *buttons = new QHBoxLayout();
	buttons->addStretch(1);
	buttons->addWidget(closeButton);

	auto *layout = new QVBoxLayout(this);
	layout->addWidget(form);
	layout->addWidget(problemLabel);
	layout->addLayout(buttons);

	auto change = [this](const std::function<void(NowPlayingSettings &)> &edit) {
		if (!nowPlaying)
			return;
		NowPlayingSettings settings = nowPlaying->settings();
		edit(settings);
		applying = true;
		nowPlaying->setSettings(settings);
		applying = false;
		showProblems();
	};
	// Only what the operator touched changes: a source the combo box cannot list (gone, or of a
	// kind without text) stays chosen until another is picked.
	connect(sourceCombo, &QComboBox::activated, this, [this, change](int) {
		change([this](NowPlayingSettings &s) { s.textSourceUuid = sourceCombo->currentData().toString(); });
	});
	// A path counts once it is complete: every prefix typed on the way would be a file to write.
	connect(fileEdit, &QLineEdit::editingFinished, this, [this, change]() {
		change([this](NowPlayingSettings &s) { s.filePath = fileEdit->text().trimmed(); });
	});
	connect(browseButton, &QPushButton::clicked, this, &NowPlayingDialog::chooseFile);
	connect(templateEdit, &QPlainTextEdit::textChanged, this, [this, change]() {
		// Kept as long as it is used, so that what is shown is what goes out.
		if (templateEdit->toPlainText().size() > NowPlayingTemplateMax) {
			const QSignalBlocker blocker(templateEdit);
			templateEdit->setPlainText(cutText(templateEdit->toPlainText(), NowPlayingTemplateMax));
			templateEdit->moveCursor(QTextCursor::End);
		}
		change([this](NowPlayingSettings &s) { s.lineTemplate = templateEdit->toPlainText(); });
	});
	connect(idleEdit, &QLineEdit::textEdited, this,
		[this, change]() { change([this](NowPlayingSettings &s) { s.idleText = idleEdit->text(); }); });
	connect(closeButton, &QPushButton::clicked, this, &QDialog::close);

	refreshTimer.setInterval(1000);
	connect(&refreshTimer, &QTimer::timeout, this, [this]() {
		if (nowPlaying)
			nowPlaying->recheckTextSource();
		refreshSources();
		showProblems();
	});
	if (nowPlaying) {
		connect(nowPlaying.data(), &NowPlaying::changed, this, [this]() {
			// A file being picked belongs to the collection it was picked for; the next one has a
			// set-up of its own.
			if (!nowPlaying->isActive())
				delete filePicker.data();
			// A change of its own is shown already, as the operator typed it.
			if (!applying)
				showSettings();
			refreshSources();
			showProblems();
		});
	}
	refresh();
}

void NowPlayingDialog::refresh()
{
	showSettings();
	refreshSources();
	showProblems();
}

void NowPlayingDialog::showEvent(QShowEvent *event)
{
	QDialog::showEvent(event);
	refresh();
	refreshTimer.start();
}

void NowPlayingDialog::hideEvent(QHideEvent *event)
{
	refreshTimer.stop();
	QDialog::hideEvent(event);
}

void NowPlayingDialog::refreshSources()
{
	const SourceList sources = textSources();
	if (sources != listed || sourceCombo->count() != sources.size() + 1) {
		const QSignalBlocker blocker(sourceCombo);
		sourceCombo->clear();
		sourceCombo->addItem(moduleQString("NowPlayingNone"), QString());
		for (const auto &[uuid, name] : sources)
			sourceCombo->addItem(name, uuid);
		listed = sources;
	}
	const QString chosen = nowPlaying ? nowPlaying->settings().textSourceUuid : QString();
	const int index = chosen.isEmpty() ? 0 : sourceCombo->findData(chosen);
	if (sourceCombo->currentIndex() != std::max(index, 0)) {
		const QSignalBlocker blocker(sourceCombo);
		sourceCombo->setCurrentIndex(std::max(index, 0));
	}
}

void NowPlayingDialog::showSettings()
{
	if (!nowPlaying)
		return;
	const NowPlayingSettings &settings = nowPlaying->settings();
	if (fileEdit->text().trimmed() != settings.filePath) {
		const QSignalBlocker blocker(fileEdit);
		fileEdit->setText(settings.filePath);
	}
	if (templateEdit->toPlainText() != settings.lineTemplate) {
		const QSignalBlocker blocker(templateEdit);
		templateEdit->setPlainText(settings.lineTemplate);
	}
	if (idleEdit->text() != settings.idleText) {
		const QSignalBlocker blocker(idleEdit);
		idleEdit->setText(settings.idleText);
	}
}

void NowPlayingDialog::showProblems()
{
	QStringList problems;
	if (nowPlaying) {
		switch (nowPlaying->textSourceState()) {
		case NowPlaying::TextSourceState::Gone:
			problems << moduleQString("NowPlayingSourceGone");
			break;
		case NowPlaying::TextSourceState::NoText:
			problems << moduleQString("NowPlayingSourceNoText").arg(nowPlaying->textSourceName());
			break;
		default:
			break;
		}
		if (!nowPlaying->fileError().isEmpty())
			problems << moduleQString("NowPlayingFileError")
					    .arg(QDir::toNativeSeparators(nowPlaying->settings().filePath),
						 nowPlaying->fileError());
	}
	problemLabel->setText(problems.join(QLatin1Char('\n')));
	problemLabel->setVisible(!problems.isEmpty());
	// While OBS changes the collection, what would be chosen here belongs to neither.
	form->setEnabled(nowPlaying && nowPlaying->isActive());
}

void NowPlayingDialog::chooseFile()
{
	const QString current = fileEdit->text().trimmed();
	const QString start = current.isEmpty() ? QDir::homePath() : current;
	// Opened without a loop of its own: the show, and this dialog, go on while it is up.
	auto *fileDialog =
		new QFileDialog(this, moduleQString("NowPlayingFile"), start, moduleQString("NowPlayingFileFilter"));
	fileDialog->setAttribute(Qt::WA_DeleteOnClose);
	fileDialog->setAcceptMode(QFileDialog::AcceptSave);
	fileDialog->setFileMode(QFileDialog::AnyFile);
	fileDialog->setDefaultSuffix(QStringLiteral("txt"));
	// The file is where the line goes, so an existing one is simply taken. Its question would also
	// be a loop of its own under the picker, in which OBS closes this dialog (a collection switch)
	// or deletes it (exit) and the picker with it, which crashed OBS when the question returned.
	fileDialog->setOption(QFileDialog::DontConfirmOverwrite);
	delete filePicker.data();
	filePicker = fileDialog;
	connect(fileDialog, &QFileDialog::fileSelected, this, [this](const QString &path) {
		if (!nowPlaying)
			return;
		fileEdit->setText(QDir::toNativeSeparators(path));
		NowPlayingSettings settings = nowPlaying->settings();
		settings.filePath = fileEdit->text();
		applying = true;
		nowPlaying->setSettings(settings);
		applying = false;
		showProblems();
	});
	fileDialog->open();
}

} // namespace tracklane
