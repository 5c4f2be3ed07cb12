#include "OfferPromptWindow.h"

#include "core/base/StringTable.h"
#include "core/transfer/FileTransfer.h"
#include "gui/ui/Beeper.h"
#include "gui/ui/PeerText.h"
#include "ui_OfferPromptWindow.h"

#include <QCloseEvent>

OfferPromptWindow::OfferPromptWindow(const QString &senderName, const QString &fileName,
                                     quint32 size, int seconds, QWidget *parent, int tickMs)
    : ProgramDialog(ComesToFront, parent,
                    Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                        Qt::CustomizeWindowHint),
      m_ui(std::make_unique<Ui::OfferPromptWindow>()), m_seconds(seconds), m_tickMs(tickMs)
{
    m_ui->setupUi(this);
    const QString title = StringTable::format(StringId::OfferTitle, {senderName});
    if (!title.isEmpty())
        setWindowTitle(title);
    // A name from the network wraps anywhere: the buttons stay on screen.
    m_ui->question->setText(StringTable::format(
        StringId::OfferQuestion, {breakableText(fileName), FileTransfer::sizeText(size)}));
    m_ui->yesButton->setText(StringTable::text(StringId::Yes));
    m_ui->noButton->setText(StringTable::text(StringId::No));
    showSecondsLeft();
    // What a screen reader says when the prompt opens.
    setAccessibleDescription(StringTable::format(
        StringId::OfferQuestion, {fileName, FileTransfer::sizeText(size)}));
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    connect(m_ui->yesButton, &QPushButton::clicked, this, [this] { finish(kYes); });
    connect(m_ui->noButton, &QPushButton::clicked, this, [this] { finish(kNo); });
}

OfferPromptWindow::~OfferPromptWindow() = default;

QString OfferPromptWindow::countdownText() const
{
    return m_ui->countdown->text();
}

void OfferPromptWindow::showSecondsLeft()
{
    m_ui->countdown->setText(
        StringTable::format(StringId::OfferCountdown, {QString::number(m_seconds - m_ticks)}));
}

void OfferPromptWindow::opened()
{
    Beeper::beep(1000, 200);
    m_timer = startTimer(m_tickMs);
}

void OfferPromptWindow::timerEvent(QTimerEvent *)
{
    tick();
}

void OfferPromptWindow::tick()
{
    // At the last tick the refusal is posted, and the line reads 0 while
    // it is on its way.
    if (m_ticks >= m_seconds - 1)
        QMetaObject::invokeMethod(
            this, [this] { finish(kNo); }, Qt::QueuedConnection);
    ++m_ticks;
    showSecondsLeft();
}

void OfferPromptWindow::closeEvent(QCloseEvent *event)
{
    if (isVisible() && result() == 0)
        event->ignore();
}

void OfferPromptWindow::finish(int command)
{
    if (m_timer) {
        killTimer(m_timer);
        m_timer = 0;
    }
    done(command);
}
