#pragma once

#include "gui/ui/ProgramDialog.h"

#include <memory>

namespace Ui {
class IncomingMessageWindow;
}

// Shows one received text message: read-only, never interpreted as rich
// text, lines not wrapped; it can be copied whole to the clipboard.
class IncomingMessageWindow : public ProgramDialog {
    Q_OBJECT

public:
    explicit IncomingMessageWindow(const QString &text, QWidget *parent = nullptr);
    ~IncomingMessageWindow() override;

    QString text() const { return m_text; }

public slots:
    void copyToClipboard();
    // Every way of closing ends the window with result 0.
    void accept() override { done(0); }
    void reject() override { done(0); }

protected:
    void opened() override;

private:
    std::unique_ptr<Ui::IncomingMessageWindow> m_ui;
    QString m_text;
};
