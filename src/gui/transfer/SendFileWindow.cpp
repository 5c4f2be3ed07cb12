#include "SendFileWindow.h"

#include "core/base/StringTable.h"
#include "core/transfer/OfferedFile.h"
#include "gui/ui/PromptService.h"
#include "ui_SendFileWindow.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>

SendFileWindow::SendFileWindow(const UserList &users, int index, const QString &senderName,
                               quint16 port, FileChooser chooser, QWidget *parent)
    : ProgramDialog(TellsTheTray, parent), m_ui(std::make_unique<Ui::SendFileWindow>()),
      m_users(users), m_index(index), m_senderName(senderName), m_port(port),
      m_chooser(std::move(chooser))
{
    using StringTable::text;
    m_ui->setupUi(this);
    m_ui->recipientLabel->setText(text(StringId::SendFileRecipient));
    m_ui->fileLabel->setText(text(StringId::SendFileFile));
    m_ui->browseButton->setText(text(StringId::SendFileBrowse));
    m_ui->sendButton->setText(text(StringId::SendFileSend));
    m_ui->closeButton->setText(text(StringId::SendFileClose));
    m_ui->status->setText(text(StringId::SendFileReady));
    m_ui->progress->setRange(0, 100);
    m_ui->progress->setValue(0);
    setRecipient(index);
    // Only users on the network can be sent a file.
    for (int i = 0; i < users.size(); ++i) {
        if (users.at(i).address.isAbsent())
            continue;
        m_ui->recipients->addItem(users.at(i).displayText, i);
        if (i == index)
            m_ui->recipients->setCurrentIndex(m_ui->recipients->count() - 1);
    }
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    connect(m_ui->recipients, &QComboBox::currentIndexChanged, this,
            [this](int row) { setRecipient(m_ui->recipients->itemData(row).toInt()); });
    connect(m_ui->browseButton, &QPushButton::clicked, this, &SendFileWindow::chooseFile);
    connect(m_ui->sendButton, &QPushButton::clicked, this, &SendFileWindow::send);
    connect(m_ui->closeButton, &QPushButton::clicked, this, &SendFileWindow::reject);
}

SendFileWindow::~SendFileWindow()
{
    m_cancellation.cancel();
    if (m_worker.joinable())
        m_worker.join();
}

QString SendFileWindow::chooseWithDialog(QWidget *parent, const QString &title)
{
    QFileDialog dialog(parent, title);
    dialog.setFileMode(QFileDialog::ExistingFile);
    // Every file, with or without an extension, under the filter's name.
    dialog.setNameFilter(StringTable::text(StringId::AllFilesFilter).section(u'(', 0, 0).trimmed() +
                         QStringLiteral(" (*)"));
    return runDialog(dialog) == QDialog::Accepted && !dialog.selectedFiles().isEmpty()
               ? dialog.selectedFiles().constFirst()
               : QString();
}

void SendFileWindow::setRecipient(int index)
{
    if (index < 0 || index >= m_users.size())
        return;
    m_index = index;
    setWindowTitle(StringTable::format(StringId::SendFileTitle, {m_users.at(index).displayText}));
}

bool SendFileWindow::chooseFile()
{
    const QString title = StringTable::format(
        StringId::SendFileChoose,
        {m_index >= 0 && m_index < m_users.size() ? m_users.at(m_index).displayText : QString()});
    QString path;
    OfferedFile file;
    for (;;) {
        path = m_chooser(isVisible() ? this : nullptr, title);
        if (path.isEmpty())
            return false;
        // Only a regular file can be offered, and a pipe or device is never
        // opened (that could block this thread): the user is told why and
        // chooses again.
        const OfferedFile::Problem problem = file.open(path);
        if (problem == OfferedFile::Problem::None || problem == OfferedFile::Problem::Missing ||
            problem == OfferedFile::Problem::Unreadable)
            break;
        PromptService::instance().ask(
            isVisible() ? this : nullptr, PromptService::Icon::Information,
            StringTable::text(StringId::SendFileImpossible),
            OfferedFile::problemText(problem, path), PromptService::Buttons::Ok);
    }
    m_path = path;
    m_fileName = QFileInfo(path).fileName();
    // A file that cannot be opened shows the largest size; sending it
    // reports that it cannot be opened.
    const quint32 size = file.isOpen() ? quint32(quint64(file.size()) & 0xffffffffu) : 0xffffffffu;
    m_ui->file->setText(
        StringTable::format(StringId::FileWithSize, {path, FileTransfer::sizeText(size)}));
    m_ui->file->setCursorPosition(0);
    return true;
}

QString SendFileWindow::statusText() const
{
    return m_ui->status->text();
}

int SendFileWindow::progress() const
{
    return m_ui->progress->value();
}

void SendFileWindow::send()
{
    m_ui->sendButton->setEnabled(false);
    m_ui->closeButton->setEnabled(false);
    if (m_busy)
        return;
    m_busy = true;
    m_ui->status->setText(StringTable::text(StringId::SendFileWaiting));
    FileSendJob job{
        m_users.at(m_index).address, m_port, m_senderName, m_path, m_fileName, &m_cancellation};
    if (m_worker.joinable())
        m_worker.join(); // the previous transfer's worker, long finished
    m_worker = std::thread([this, job] {
        FileTransfer::sendFile(job, [this](FileSendStatus status, int argument) {
            // Reports reach the window as posted messages.
            QMetaObject::invokeMethod(
                this, [this, status, argument] { report(status, argument); }, Qt::QueuedConnection);
        });
    });
}

void SendFileWindow::report(FileSendStatus status, int argument)
{
    using StringTable::format;
    using StringTable::text;
    switch (status) {
    case FileSendStatus::Progress:
        m_ui->status->setText(format(StringId::SendFileProgress, {QString::number(argument)}));
        m_ui->progress->setValue(argument);
        return;
    case FileSendStatus::Done:
        m_ui->status->setText(text(StringId::SendFileDone));
        m_ui->progress->setValue(100);
        m_ui->sendButton->setEnabled(true);
        m_ui->closeButton->setEnabled(true);
        m_busy = false;
        return;
    default:
        break;
    }
    QString what;
    switch (status) {
    case FileSendStatus::Refused:
        what = text(StringId::SendFileRefused);
        break;
    case FileSendStatus::NoConnection:
        what = text(StringId::CannotConnect);
        break;
    case FileSendStatus::CannotOpen:
        what = text(StringId::SendFileCannotOpen);
        break;
    case FileSendStatus::Interrupted:
        what = text(StringId::SendFileInterrupted);
        break;
    case FileSendStatus::Changed:
        what = text(StringId::SendFileChanged);
        break;
    case FileSendStatus::NotRegular:
        what = OfferedFile::problemText(OfferedFile::Problem(argument), m_path);
        break;
    default:
        return;
    }
    m_ui->progress->setValue(0);
    m_ui->sendButton->setEnabled(true);
    m_ui->closeButton->setEnabled(true);
    m_busy = false;
    PromptService::instance().ask(nullptr, PromptService::Icon::Information,
                                  text(StringId::SendFileImpossible), what,
                                  PromptService::Buttons::Ok);
    m_ui->status->setText(format(StringId::SendFileStatus, {what.toLower()}));
}

void SendFileWindow::reject()
{
    if (!m_busy)
        done(2);
}

void SendFileWindow::closeEvent(QCloseEvent *event)
{
    if (m_busy)
        event->ignore();
    else
        QDialog::closeEvent(event);
}
