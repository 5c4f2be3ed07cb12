#pragma once

#include "core/base/Settings.h"

#include "ProgramDialog.h"

#include <memory>

namespace Ui {
class SettingsWindow;
}

// Edits the two ports and the two switches. Save asks for confirmation of a
// change and stores it; Cancel (or a declined change) puts back all five
// fields as they were when the window opened.
class SettingsWindow : public ProgramDialog {
    Q_OBJECT

public:
    // Never one of Qt's own results (0 and 1), nor kDialogNotFinished.
    enum Result { Changed = 110, Unchanged = 111 };

    SettingsWindow(LiveSettings &settings, const SettingsStore &store, QWidget *parent = nullptr);
    ~SettingsWindow() override;

public slots:
    void save();
    void restoreDefaults();
    void reject() override;

private:
    void controlsFromValues(const Settings &values);
    bool valuesFromControls(Settings &values);

    std::unique_ptr<Ui::SettingsWindow> m_ui;
    LiveSettings &m_settings;
    const SettingsStore m_store;
    Settings m_opening;
};
