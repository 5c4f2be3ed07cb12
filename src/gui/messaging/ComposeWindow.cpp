#include "ComposeWindow.h"

#include "core/base/StringTable.h"
#include "core/sound/SoundClip.h"
#include "gui/ui/PromptService.h"
#include "ui_ComposeWindow.h"

#include <QApplication>
#include <QPainter>

ComposeWindow::ComposeWindow(const QString &recipientName, const QString &senderName,
                             bool messengerByDefault, QWidget *parent)
    : ProgramDialog(TellsTheTray, parent), m_ui(std::make_unique<Ui::ComposeWindow>()),
      m_senderName(senderName), m_clip(std::make_unique<SoundClip>())
{
    m_ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    using StringTable::text;
    setWindowTitle(recipientName.isEmpty()
                       ? text(StringId::ComposeTemplateTitle)
                       : StringTable::format(StringId::ComposeTitle, {recipientName}));
    m_ui->chooseLabel->setText(text(StringId::ComposeChooseType));
    m_ui->textSectionLabel->setText(text(StringId::ComposeTextSection));
    m_ui->pasteButton->setText(text(StringId::ComposePaste));
    m_ui->anonymousCheck->setText(text(StringId::ComposeAnonymous));
    m_ui->senderLabel->setText(text(StringId::ComposeSenderName));
    m_ui->sendTextButton->setText(text(StringId::ComposeSendText));
    m_ui->soundSectionLabel->setText(text(StringId::ComposeSoundSection));
    m_ui->recordButton->setText(text(StringId::ComposeRecord));
    m_ui->playButton->setText(text(StringId::ComposePlay));
    m_ui->sendSoundButton->setText(text(StringId::ComposeSendSound));
    m_ui->cancelButton->setText(text(StringId::ComposeCancel));

    m_ui->senderEdit->setReadOnly(true);
    m_ui->sendSoundButton->setEnabled(false);
    m_ui->playButton->setEnabled(false);
    if (messengerByDefault) {
        m_anonymous = true;
        m_ui->senderEdit->setReadOnly(false);
    }
    fillControls();

    connect(m_ui->pasteButton, &QPushButton::clicked, m_ui->text, &QPlainTextEdit::paste);
    connect(m_ui->anonymousCheck, &QCheckBox::clicked, this, &ComposeWindow::anonymousClicked);
    connect(m_ui->sendTextButton, &QPushButton::clicked, this, &ComposeWindow::accept);
    connect(m_ui->sendSoundButton, &QPushButton::clicked, this, &ComposeWindow::sendSoundClicked);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &ComposeWindow::reject);
    connect(m_ui->recordButton, &QPushButton::clicked, this, &ComposeWindow::recordClicked);
    connect(m_ui->playButton, &QPushButton::clicked, this, &ComposeWindow::playClicked);
    // The clip signals from the audio device's thread too.
    connect(m_clip.get(), &SoundClip::recordingStopped, this, &ComposeWindow::recordingStopped,
            Qt::QueuedConnection);
    connect(m_clip.get(), &SoundClip::playbackStopped, this, &ComposeWindow::playbackStopped,
            Qt::QueuedConnection);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

ComposeWindow::~ComposeWindow() = default;

void ComposeWindow::fillControls()
{
    m_ui->senderEdit->setText(m_senderName);
    QString shown = m_text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    m_ui->text->setPlainText(shown);
    m_ui->anonymousCheck->setChecked(m_anonymous);
}

bool ComposeWindow::readFields()
{
    const QString sender = m_ui->senderEdit->text();
    if (sender.size() > kMaxSenderChars) {
        QApplication::beep();
        m_ui->senderEdit->setFocus();
        return false;
    }
    m_senderName = sender;
    // Line breaks travel as CR LF, as Windows peers expect them.
    QString text = m_ui->text->toPlainText();
    text.replace(u'\n', QStringLiteral("\r\n"));
    if (text.size() > kMaxTextChars) {
        QApplication::beep();
        m_ui->text->setFocus();
        return false;
    }
    m_text = text;
    m_anonymous = m_ui->anonymousCheck->isChecked();
    return true;
}

void ComposeWindow::anonymousClicked()
{
    readFields();
    m_ui->senderEdit->setReadOnly(!m_ui->anonymousCheck->isChecked());
}

void ComposeWindow::accept()
{
    if (!readFields())
        return;
    if (m_text.isEmpty()) {
        showNotice(this, StringId::EmptyMessage);
        m_ui->text->setFocus();
        return;
    }
    if (m_anonymous && m_senderName.isEmpty()) {
        showNotice(this, StringId::EmptySender);
        m_ui->senderEdit->setFocus();
        return;
    }
    done(SendText);
}

void ComposeWindow::reject()
{
    done(Cancelled);
}

void ComposeWindow::sendSoundClicked()
{
    // The last buffers of a recording just stopped may not be back yet.
    if (m_clip->length() != 0) {
        done(SendSound);
        return;
    }
    showNotice(nullptr, StringId::SoundNotRecorded);
}

void ComposeWindow::recordClicked()
{
    using StringTable::text;
    if (m_clip->isRecording()) {
        if (m_recordingTimer) {
            killTimer(m_recordingTimer);
            m_recordingTimer = 0;
        }
        m_clip->stopRecording(); // the buttons change when the clip says so
        return;
    }
    m_recordingTimer = startTimer(m_recordingLimitMs);
    if (!m_clip->startRecording(-1, 1, 11025, 16)) {
        // No capture device: say so instead of pretending to record.
        killTimer(m_recordingTimer);
        m_recordingTimer = 0;
        m_ui->recordButton->setChecked(false);
        showNotice(this, StringId::NoCaptureDevice);
        return;
    }
    m_ui->recordButton->setText(text(StringId::ComposeStop));
    m_ui->recordButton->setChecked(true);
    m_ui->playButton->setEnabled(false);
    m_ui->sendSoundButton->setEnabled(false);
}

void ComposeWindow::timerEvent(QTimerEvent *)
{
    // The longest recording: stop it as the record button would.
    QMetaObject::invokeMethod(this, &ComposeWindow::recordClicked, Qt::QueuedConnection);
}

void ComposeWindow::recordingStopped()
{
    m_ui->recordButton->setText(StringTable::text(StringId::ComposeRecord));
    m_ui->recordButton->setChecked(false);
    m_ui->playButton->setEnabled(true);
    m_ui->sendSoundButton->setEnabled(true);
}

void ComposeWindow::playClicked()
{
    if (m_clip->length() == 0) {
        m_ui->playButton->setChecked(false);
        showNotice(this, StringId::NoSound);
        return;
    }
    if (m_clip->isPlaying()) {
        m_clip->stopPlayback(false);
        return;
    }
    if (!m_clip->startPlayback(1, 11025, 16)) {
        m_ui->playButton->setChecked(false);
        showNotice(this, StringId::NoPlaybackDevice);
        return;
    }
    m_ui->playButton->setText(StringTable::text(StringId::ComposeStop));
    m_ui->playButton->setChecked(true);
    m_ui->recordButton->setEnabled(false);
    m_ui->sendSoundButton->setEnabled(false);
}

void ComposeWindow::playbackStopped()
{
    m_ui->playButton->setText(StringTable::text(StringId::ComposePlay));
    m_ui->playButton->setChecked(false);
    m_ui->recordButton->setEnabled(true);
    m_ui->sendSoundButton->setEnabled(true);
}

void ComposeWindow::done(int result)
{
    if (m_recordingTimer) {
        killTimer(m_recordingTimer);
        m_recordingTimer = 0;
    }
    if (m_clip->isPlaying())
        m_clip->stopPlayback(false);
    m_clip->closeDevices();
    QDialog::done(result);
}

void ComposeWindow::opened()
{
    m_ui->text->setFocus();
}

void ComposeWindow::paintEvent(QPaintEvent *event)
{
    QDialog::paintEvent(event);
    // One frame round both sections, a line between them.
    QPainter painter(this);
    QPen pen(palette().color(QPalette::Highlight), 2);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const int left = 5;
    const int right = width() - 6;
    const int soundTop = m_ui->soundSectionLabel->geometry().top() - 3;
    painter.drawLine(left, soundTop, right, soundTop);
    const int top = m_ui->textSectionLabel->geometry().top() - 3;
    const int bottom = m_ui->sendSoundButton->geometry().bottom() + 6;
    painter.drawRect(QRect(QPoint(left, top), QPoint(width() - 5, bottom)));
}
