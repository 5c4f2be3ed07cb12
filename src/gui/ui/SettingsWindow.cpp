#include "SettingsWindow.h"

#include "PromptService.h"
#include "core/base/StringTable.h"
#include "ui_SettingsWindow.h"

#include <QApplication>
#include <QRegularExpression>

namespace {

constexpr int kMinimumPort = 1024;
constexpr int kMaximumPort = 38000;

// A port edit read as a signed integer: blanks, an optional minus sign and
// decimal digits, nothing else.
bool readInteger(const QString &text, std::int32_t *value)
{
    static const QRegularExpression number(QStringLiteral("^\\s*-?[0-9]+$"));
    if (!number.match(text).hasMatch())
        return false;
    bool ok = false;
    const int parsed = text.trimmed().toInt(&ok);
    if (ok)
        *value = parsed;
    return ok;
}

} // namespace

SettingsWindow::SettingsWindow(LiveSettings &settings, const SettingsStore &store, QWidget *parent)
    : ProgramDialog(TellsTheTray, parent), m_ui(std::make_unique<Ui::SettingsWindow>()),
      m_settings(settings), m_store(store)
{
    using StringTable::text;
    m_ui->setupUi(this);
    setWindowTitle(text(StringId::SettingsTitle));
    m_ui->networkGroup->setTitle(text(StringId::SettingsNetwork));
    m_ui->messagePortLabel->setText(text(StringId::SettingsMessagePort));
    m_ui->dataPortLabel->setText(text(StringId::SettingsDataPort));
    m_ui->interfaceGroup->setTitle(text(StringId::SettingsInterface));
    m_ui->autoPlay->setText(text(StringId::SettingsAutoPlay));
    m_ui->useMessenger->setText(text(StringId::SettingsUseMessenger));
    m_ui->defaultsButton->setText(text(StringId::SettingsDefaults));
    m_ui->saveButton->setText(text(StringId::Save));
    m_ui->cancelButton->setText(text(StringId::Cancel));
    for (PortSpinBox *port : {m_ui->messagePort, m_ui->dataPort})
        port->setRange(kMinimumPort, kMaximumPort);
    m_opening = m_settings.get();
    controlsFromValues(m_opening);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    connect(m_ui->saveButton, &QPushButton::clicked, this, &SettingsWindow::save);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &SettingsWindow::reject);
    connect(m_ui->defaultsButton, &QPushButton::clicked, this, &SettingsWindow::restoreDefaults);
}

SettingsWindow::~SettingsWindow() = default;

void SettingsWindow::controlsFromValues(const Settings &values)
{
    m_ui->messagePort->setPosition(values.ListeningPort);
    m_ui->dataPort->setPosition(values.ListeningDataPort);
    m_ui->autoPlay->setChecked(values.AutoPlaySound);
    m_ui->useMessenger->setChecked(values.UseNetSendByDeault);
}

bool SettingsWindow::valuesFromControls(Settings &values)
{
    for (auto [edit, field] : {std::pair{m_ui->messagePort, &values.ListeningPort},
                               std::pair{m_ui->dataPort, &values.ListeningDataPort}}) {
        if (!readInteger(edit->text(), field)) {
            QApplication::beep();
            edit->setFocus();
            return false;
        }
    }
    values.AutoPlaySound = m_ui->autoPlay->isChecked();
    values.UseNetSendByDeault = m_ui->useMessenger->isChecked();
    return true;
}

void SettingsWindow::save()
{
    Settings values = m_settings.get();
    if (!valuesFromControls(values))
        return;
    m_settings.set(values);
    bool changed = values.ListeningPort != m_opening.ListeningPort ||
                   values.ListeningDataPort != m_opening.ListeningDataPort ||
                   values.AutoPlaySound != m_opening.AutoPlaySound ||
                   values.UseNetSendByDeault != m_opening.UseNetSendByDeault;
    if (changed &&
        PromptService::instance().ask(nullptr, PromptService::Icon::Information,
                                      StringTable::text(StringId::Warning),
                                      StringTable::text(StringId::ConfirmSettingsChange),
                                      PromptService::Buttons::YesNo) == PromptService::Answer::No) {
        m_settings.set(m_opening);
        changed = false;
    }
    if (changed)
        m_store.save(m_settings.get());
    done(changed ? Changed : Unchanged);
}

void SettingsWindow::restoreDefaults()
{
    // The live record takes the defaults at once; Cancel puts it back.
    m_settings.set(Settings());
    controlsFromValues(Settings());
}

void SettingsWindow::reject()
{
    m_settings.set(m_opening);
    done(Unchanged);
}
