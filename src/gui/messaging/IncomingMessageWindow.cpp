#include "IncomingMessageWindow.h"

#include "core/base/StringTable.h"
#include "gui/ui/Beeper.h"
#include "ui_IncomingMessageWindow.h"

#include <QClipboard>
#include <QGuiApplication>

IncomingMessageWindow::IncomingMessageWindow(const QString &text, QWidget *parent)
    : ProgramDialog(TellsTheTray | Resizable | ComesToFront, parent),
      m_ui(std::make_unique<Ui::IncomingMessageWindow>()), m_text(text)
{
    m_ui->setupUi(this);
    setWindowTitle(StringTable::text(StringId::IncomingTitle));
    m_ui->copyButton->setText(StringTable::text(StringId::CopyToClipboard));
    m_ui->closeButton->setText(StringTable::text(StringId::Close));
    // The field shows line breaks; the text keeps them as they came (CR LF).
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(u'\r', u'\n');
    m_ui->text->setPlainText(shown);
    // What a screen reader says when the window opens: who sent it and what.
    setAccessibleDescription(shown);
    m_ui->text->setAccessibleName(windowTitle());
    connect(m_ui->copyButton, &QPushButton::clicked, this, &IncomingMessageWindow::copyToClipboard);
    connect(m_ui->closeButton, &QPushButton::clicked, this, &IncomingMessageWindow::accept);
}

IncomingMessageWindow::~IncomingMessageWindow() = default;

void IncomingMessageWindow::copyToClipboard()
{
    QGuiApplication::clipboard()->setText(m_text);
}

void IncomingMessageWindow::opened()
{
    // A screen reader reads the focused field: the sender's line first. The
    // field is read-only, so Enter and Escape still close the window.
    m_ui->text->setFocus();
    Beeper::beep(1000, 200);
}
