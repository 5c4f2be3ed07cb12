#include "MessageLogWindow.h"

#include "core/base/MessageLog.h"
#include "core/base/StringTable.h"
#include "ui_MessageLogWindow.h"

MessageLogWindow::MessageLogWindow(MessageLog &log, QWidget *parent)
    : ProgramDialog(TellsTheTray | Resizable, parent),
      m_ui(std::make_unique<Ui::MessageLogWindow>()), m_log(log)
{
    m_ui->setupUi(this);
    // A tool window: small caption, no taskbar button.
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(StringTable::text(StringId::LogTitle));
    m_ui->note->setText(StringTable::text(StringId::LogNote));
    m_ui->clearButton->setText(StringTable::text(StringId::LogClear));
    m_ui->closeButton->setText(StringTable::text(StringId::Close));
    connect(m_ui->clearButton, &QPushButton::clicked, this, &MessageLogWindow::clearLog);
    connect(m_ui->closeButton, &QPushButton::clicked, this, &QDialog::accept);
    fill();
}

MessageLogWindow::~MessageLogWindow() = default;

QString MessageLogWindow::shownText() const
{
    return m_ui->text->toPlainText();
}

void MessageLogWindow::clearLog()
{
    m_log.clear();
    fill();
}

void MessageLogWindow::fill()
{
    QString text = m_log.formatAll();
    if (text.isEmpty())
        text = StringTable::text(StringId::LogEmpty);
    // The field shows line breaks; the entries carry them as CR LF.
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    m_ui->text->setPlainText(text);
}
