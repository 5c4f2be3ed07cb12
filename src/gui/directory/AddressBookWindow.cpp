#include "AddressBookWindow.h"

#include "UserEditorWindow.h"
#include "core/base/StringTable.h"
#include "gui/ui/PromptService.h"
#include "gui/ui/WaitCursor.h"
#include "ui_AddressBookWindow.h"

#include <QHeaderView>
#include <QTimer>

#include <utility>

AddressBookWindow::AddressBookWindow(const QString &path, HostResolver &resolver, QWidget *parent)
    : ProgramDialog(TellsTheTray, parent), m_ui(std::make_unique<Ui::AddressBookWindow>()),
      m_path(path), m_resolver(resolver)
{
    using StringTable::text;
    m_ui->setupUi(this);
    setWindowTitle(text(StringId::AddressBookTitle));
    m_ui->list->setHeaderLabels({text(StringId::ColumnUser), text(StringId::ColumnAddress)});
    m_ui->list->header()->setStretchLastSection(false);
    m_ui->hint->setText(text(StringId::AddressBookHint));
    m_ui->addButton->setText(text(StringId::AddressBookAdd));
    m_ui->deleteButton->setText(text(StringId::AddressBookDelete));
    m_ui->closeButton->setText(text(StringId::Close));
    m_ui->collapseButton->setText(text(StringId::AddressBookCollapse));
    m_ui->deleteButton->setEnabled(false);
    QString help = text(StringId::AddressBookHelp);
    help.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    m_ui->help->setPlainText(help);
    {
        WaitCursor wait;
        // A missing or unreadable file is an empty book; an unreadable one
        // is said when the window opens and kept at the first save.
        m_book.load(m_path, &m_loadError);
        m_keepOld = !m_loadError.isEmpty();
    }
    fill();
    connect(m_ui->list, &QTreeWidget::itemSelectionChanged, this,
            [this] { m_ui->deleteButton->setEnabled(selectedPosition() >= 0); });
    connect(m_ui->list, &QTreeWidget::itemDoubleClicked, this, &AddressBookWindow::editSelected);
    connect(m_ui->addButton, &QPushButton::clicked, this, &AddressBookWindow::addEntry);
    connect(m_ui->deleteButton, &QPushButton::clicked, this, &AddressBookWindow::deleteSelected);
    connect(m_ui->collapseButton, &QPushButton::clicked, this, &AddressBookWindow::collapseHelp);
    connect(m_ui->closeButton, &QPushButton::clicked, this, &AddressBookWindow::closeAsked);
}

AddressBookWindow::~AddressBookWindow() = default;

void AddressBookWindow::opened()
{
    fitColumns();
    if (!m_loadError.isEmpty()) {
        QTimer::singleShot(0, this, [this] {
            const QString reason = std::exchange(m_loadError, QString());
            showNotice(this,
                       StringTable::format(StringId::AddressBookUnreadable,
                                           {m_path, reason, m_path + QStringLiteral(".bak")}));
        });
    }
}

void AddressBookWindow::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    fitColumns();
}

void AddressBookWindow::fitColumns()
{
    const int width = m_ui->list->viewport()->width();
    m_ui->list->setColumnWidth(0, qMax(60, width - 150));
    m_ui->list->setColumnWidth(1, 145);
}

void AddressBookWindow::fill()
{
    m_ui->list->clear();
    for (qsizetype i = 0; i < m_book.size(); ++i) {
        auto *row =
            new QTreeWidgetItem(m_ui->list, {m_book.at(i).name, m_book.at(i).addressText()});
        row->setData(0, Qt::UserRole, int(i));
    }
}

int AddressBookWindow::selectedPosition() const
{
    const QList<QTreeWidgetItem *> selected = m_ui->list->selectedItems();
    if (selected.isEmpty())
        return -1;
    const int position = selected.constFirst()->data(0, Qt::UserRole).toInt();
    return position >= 0 && position < m_book.size() ? position : -1;
}

bool AddressBookWindow::runEditor(AddressBookEntry &entry, bool isNew)
{
    UserEditorWindow editor(entry, isNew, m_resolver, this);
    editor.setWindowModality(Qt::WindowModal);
    if (runDialog(editor) != QDialog::Accepted)
        return false;
    entry = editor.entry();
    return true;
}

void AddressBookWindow::addEntry()
{
    AddressBookEntry entry;
    if (!runEditor(entry, true))
        return;
    m_book.append(entry);
    fill();
    m_modified = true;
}

void AddressBookWindow::editSelected()
{
    const int position = selectedPosition();
    if (position < 0)
        return;
    AddressBookEntry entry = m_book.at(position);
    if (!runEditor(entry, false))
        return;
    m_book.setName(position, entry.name);
    m_book.setKindAndAddress(position, entry.kind, entry.addressText());
    // Only that row changes.
    QTreeWidgetItem *row = m_ui->list->selectedItems().constFirst();
    row->setText(0, m_book.at(position).name);
    row->setText(1, m_book.at(position).addressText());
    m_modified = true;
}

void AddressBookWindow::deleteSelected()
{
    const int position = selectedPosition();
    if (position < 0)
        return;
    const auto answer = PromptService::instance().ask(
        this, PromptService::Icon::Question, StringTable::text(StringId::Warning),
        StringTable::format(StringId::ConfirmDeleteUser, {m_book.at(position).name}),
        PromptService::Buttons::YesNo);
    if (answer == PromptService::Answer::No)
        return;
    m_book.removeAt(position);
    fill();
    m_ui->deleteButton->setEnabled(false);
    m_modified = true;
}

void AddressBookWindow::collapseHelp()
{
    // The list takes the help's place; the help comes back only when the
    // window is opened again.
    m_ui->help->hide();
    m_ui->help->setEnabled(false);
    m_ui->collapseButton->hide();
    m_ui->collapseButton->setEnabled(false);
}

void AddressBookWindow::closeAsked()
{
    if (!m_modified) {
        done(NotSaved);
        return;
    }
    const auto answer = PromptService::instance().ask(
        this, PromptService::Icon::Information, StringTable::text(StringId::Warning),
        StringTable::text(StringId::ConfirmSaveAddressBook), PromptService::Buttons::YesNo);
    if (answer == PromptService::Answer::No) {
        done(NotSaved);
        return;
    }
    QString error;
    bool saved;
    {
        WaitCursor wait;
        saved = m_book.save(m_path, &error, m_keepOld);
    }
    if (!saved) {
        // Nothing is lost: the window stays open with the changes.
        showNotice(this, StringTable::format(StringId::AddressBookNotSaved, {m_path, error}));
        return;
    }
    done(Saved);
}

void AddressBookWindow::reject()
{
    done(NotSaved);
}
