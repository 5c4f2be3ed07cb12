#include "UserEditorWindow.h"

#include "core/base/StringTable.h"
#include "core/platform/HostResolver.h"
#include "gui/ui/PromptService.h"
#include "gui/ui/WaitCursor.h"
#include "gui/ui/WaitFor.h"
#include "ui_UserEditorWindow.h"

#include <QRegularExpressionValidator>

UserEditorWindow::UserEditorWindow(const AddressBookEntry &entry, bool isNew,
                                   HostResolver &resolver, QWidget *parent)
    : ProgramDialog(NoOptions, parent), m_ui(std::make_unique<Ui::UserEditorWindow>()),
      m_entry(entry), m_resolver(resolver)
{
    using StringTable::text;
    m_ui->setupUi(this);
    setWindowTitle(text(isNew ? StringId::UserEditorNewTitle : StringId::UserEditorTitle));
    m_ui->nameLabel->setText(text(StringId::UserEditorName));
    m_ui->ipRadio->setText(text(StringId::UserEditorIpAddress));
    m_ui->nameRadio->setText(text(StringId::UserEditorNetworkName));
    m_ui->resolveNameButton->setText(text(StringId::ResolveName));
    m_ui->resolveAddressButton->setText(text(StringId::ResolveAddress));
    // What a screen reader says for the two fields under their radio
    // buttons and for the arrows between them.
    m_ui->ipAddress->setAccessibleName(text(StringId::UserEditorIpAddress));
    m_ui->networkName->setAccessibleName(text(StringId::UserEditorNetworkName));
    m_ui->resolveNameButton->setAccessibleName(text(StringId::ResolveNameSpoken));
    m_ui->resolveAddressButton->setAccessibleName(text(StringId::ResolveAddressSpoken));
    m_ui->saveButton->setText(text(isNew ? StringId::UserEditorAdd : StringId::Save));
    m_ui->cancelButton->setText(text(StringId::Cancel));
    // Four numbers of up to three digits, as the address control takes them.
    m_ui->ipAddress->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("^\\d{0,3}(\\.\\d{0,3}){0,3}$")), this));

    m_ui->name->setText(m_entry.name);
    if (isNew)
        m_entry.kind = EntryKind::NetworkName;
    if (m_entry.kind == EntryKind::IpAddress) {
        m_ui->ipAddress->setText(m_entry.address.dotted());
    } else {
        m_ui->networkName->setText(m_entry.networkName);
    }
    applyKind();
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    connect(m_ui->ipRadio, &QRadioButton::clicked, this, [this] {
        m_entry.kind = EntryKind::IpAddress;
        applyKind();
        m_ui->ipAddress->setFocus();
    });
    connect(m_ui->nameRadio, &QRadioButton::clicked, this, [this] {
        m_entry.kind = EntryKind::NetworkName;
        applyKind();
        m_ui->networkName->setFocus();
    });
    connect(m_ui->resolveNameButton, &QPushButton::clicked, this, &UserEditorWindow::resolveName);
    connect(m_ui->resolveAddressButton, &QPushButton::clicked, this,
            &UserEditorWindow::resolveAddress);
    connect(m_ui->saveButton, &QPushButton::clicked, this, &UserEditorWindow::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

UserEditorWindow::~UserEditorWindow() = default;

void UserEditorWindow::opened()
{
    m_ui->name->setFocus();
}

void UserEditorWindow::applyKind()
{
    const bool byAddress = m_entry.kind == EntryKind::IpAddress;
    m_ui->ipAddress->setEnabled(byAddress);
    m_ui->networkName->setEnabled(!byAddress);
    m_ui->ipRadio->setChecked(byAddress);
    m_ui->nameRadio->setChecked(!byAddress);
}

QString UserEditorWindow::ipFieldText() const
{
    QStringList parts = m_ui->ipAddress->text().split(u'.');
    while (parts.size() < 4)
        parts.append(QString());
    QStringList numbers;
    for (int i = 0; i < 4; ++i)
        numbers.append(QString::number(qMin(parts.at(i).toInt(), 255)));
    return numbers.join(u'.');
}

void UserEditorWindow::resolveName()
{
    if (m_lookupPending || m_entry.kind != EntryKind::IpAddress)
        return;
    const QString text = ipFieldText().left(127);
    Ipv4Address address;
    parseDottedAddress(text, address);
    const std::optional<QString> name =
        lookUp<std::optional<QString>>([&] { return m_resolver.nameOf(address); });
    if (!isVisible())
        return; // closed meanwhile: the entry stays as it was
    if (!name) {
        PromptService::instance().ask(
            nullptr, PromptService::Icon::Information, StringTable::text(StringId::Warning),
            StringTable::format(StringId::CannotResolveName, {text}), PromptService::Buttons::Ok);
        return;
    }
    m_ui->networkName->setText(name->toUpper());
    m_entry.kind = EntryKind::NetworkName;
    applyKind();
}

void UserEditorWindow::resolveAddress()
{
    if (m_lookupPending || m_entry.kind != EntryKind::NetworkName)
        return;
    const QString name = m_ui->networkName->text().left(127);
    if (name.isEmpty())
        return;
    const std::optional<Ipv4Address> address =
        lookUp<std::optional<Ipv4Address>>([&] { return m_resolver.addressOf(name); });
    if (!isVisible())
        return; // closed meanwhile: the entry stays as it was
    if (!address) {
        PromptService::instance().ask(nullptr, PromptService::Icon::Information,
                                      StringTable::text(StringId::Warning),
                                      StringTable::format(StringId::CannotResolveAddress, {name}),
                                      PromptService::Buttons::Ok);
        return;
    }
    m_ui->ipAddress->setText(address->dotted());
    m_entry.kind = EntryKind::IpAddress;
    applyKind();
}

template <typename T> T UserEditorWindow::lookUp(const std::function<T()> &work)
{
    // One look-up at a time, and no saving until it has answered: the
    // entry is stored whole, with the kind and the value that go together.
    const QList<QWidget *> held = {m_ui->saveButton, m_ui->resolveNameButton,
                                   m_ui->resolveAddressButton, m_ui->ipRadio, m_ui->nameRadio};
    for (QWidget *w : held)
        w->setEnabled(false);
    m_lookupPending = true;
    T result;
    {
        WaitCursor wait;
        result = runOffGuiThread<T>(work);
    }
    m_lookupPending = false;
    for (QWidget *w : held)
        w->setEnabled(true);
    return result;
}

void UserEditorWindow::accept()
{
    if (m_lookupPending)
        return; // Enter while a look-up runs
    const QString name = m_ui->name->text();
    if (name.isEmpty()) {
        showNotice(this, StringId::EmptyUserName);
        m_ui->name->setFocus();
        return;
    }
    m_entry.name = name; // not trimmed: a name of blanks is a name
    if (m_entry.kind == EntryKind::IpAddress) {
        const QString text = ipFieldText();
        if (text == QStringLiteral("0.0.0.0")) {
            showNotice(this, StringId::EmptyIpAddress);
            m_ui->ipAddress->setFocus();
            return;
        }
        parseDottedAddress(text, m_entry.address);
    } else {
        const QString networkName = m_ui->networkName->text();
        if (networkName.isEmpty()) {
            showNotice(this, StringId::EmptyNetworkName);
            m_ui->networkName->setFocus();
            return;
        }
        m_entry.networkName = networkName;
    }
    QDialog::accept();
}
