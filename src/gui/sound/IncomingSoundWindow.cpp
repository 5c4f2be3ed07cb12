#include "IncomingSoundWindow.h"

#include "core/base/Settings.h"
#include "core/base/StringTable.h"
#include "core/sound/SoundClip.h"
#include "gui/ui/Beeper.h"
#include "gui/ui/PeerText.h"
#include "gui/ui/PromptService.h"
#include "ui_IncomingSoundWindow.h"

IncomingSoundWindow::IncomingSoundWindow(const QString &senderName, SoundClip &clip,
                                         const LiveSettings &settings, QWidget *parent)
    : ProgramDialog(TellsTheTray | ComesToFront, parent),
      m_ui(std::make_unique<Ui::IncomingSoundWindow>()), m_clip(clip), m_settings(settings)
{
    m_ui->setupUi(this);
    setWindowTitle(StringTable::text(StringId::IncomingSoundTitle));
    m_ui->senderLabel->setText(
        StringTable::format(StringId::MessageFrom, {breakableText(senderName)}));
    setAccessibleDescription(StringTable::format(StringId::MessageFrom, {senderName}));
    m_ui->playButton->setText(StringTable::text(StringId::SoundPlay));
    m_ui->closeButton->setText(StringTable::text(StringId::Close));
    m_ui->hintLabel->setText(StringTable::text(StringId::AutoPlayHint));
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    connect(m_ui->playButton, &QPushButton::clicked, this, &IncomingSoundWindow::playClicked);
    connect(m_ui->closeButton, &QPushButton::clicked, this, &QDialog::accept);
    // The clip signals from the audio device's thread.
    connect(&m_clip, &SoundClip::playbackStopped, this, &IncomingSoundWindow::playbackStopped,
            Qt::QueuedConnection);
}

IncomingSoundWindow::~IncomingSoundWindow() = default;

void IncomingSoundWindow::opened()
{
    m_clip.setDeviceId(-1);
    const QList<Beeper::Tone> tones{{1000, 100}, {1300, 100}};
    // The sound follows the two beeps, as it does after Windows' Beep.
    if (m_settings.get().AutoPlaySound)
        Beeper::beep(tones, this, [this] {
            if (isVisible() && !m_clip.isPlaying())
                playClicked();
        });
    else
        Beeper::beep(tones);
}

void IncomingSoundWindow::playClicked()
{
    if (m_clip.isPlaying()) {
        m_clip.stopPlayback(false);
        return;
    }
    if (m_clip.startPlayback(1, 11025, 16)) {
        m_ui->playButton->setText(StringTable::text(StringId::ComposeStop));
        return;
    }
    // Nothing plays: an empty message needs no word, a missing device does.
    if (m_clip.length() > 0)
        showNotice(this, StringId::NoPlaybackDevice);
}

void IncomingSoundWindow::playbackStopped()
{
    m_ui->playButton->setText(StringTable::text(StringId::SoundPlay));
    if (m_settings.get().AutoPlaySound && isVisible())
        done(0);
}

void IncomingSoundWindow::done(int)
{
    disconnect(&m_clip, nullptr, this, nullptr);
    if (m_clip.isPlaying())
        m_clip.stopPlayback(false);
    QDialog::done(0);
}
