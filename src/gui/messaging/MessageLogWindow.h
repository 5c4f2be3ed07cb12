#pragma once

#include "gui/ui/ProgramDialog.h"

#include <memory>

class MessageLog;

namespace Ui {
class MessageLogWindow;
}

// The messages of this run, oldest first, as they were when the window
// opened (or was last cleared); "Очистить" empties the log at once.
class MessageLogWindow : public ProgramDialog {
    Q_OBJECT

public:
    explicit MessageLogWindow(MessageLog &log, QWidget *parent = nullptr);
    ~MessageLogWindow() override;

    QString shownText() const;

public slots:
    void clearLog();

private:
    void fill();

    std::unique_ptr<Ui::MessageLogWindow> m_ui;
    MessageLog &m_log;
};
