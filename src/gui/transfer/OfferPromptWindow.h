#pragma once

#include "gui/ui/ProgramDialog.h"

#include <memory>

namespace Ui {
class OfferPromptWindow;
}

// Asks whether to accept an offered file, above every other window, and
// refuses by itself when the countdown runs out. Only "Да", "Нет" and the
// countdown close it.
class OfferPromptWindow : public ProgramDialog {
    Q_OBJECT

public:
    static constexpr int kYes = 6;
    static constexpr int kNo = 7;

    OfferPromptWindow(const QString &senderName, const QString &fileName, quint32 size, int seconds,
                      QWidget *parent = nullptr, int tickMs = 1000);
    ~OfferPromptWindow() override;

    QString countdownText() const;

    // The answer "Нет" without the user (the session is ending).
    void refuse() { finish(kNo); }

public slots:
    void reject() override {} // Escape does nothing
    // One second of the countdown (the timer's tick).
    void tick();

protected:
    void opened() override;
    void closeEvent(QCloseEvent *event) override; // nor does the close box
    void timerEvent(QTimerEvent *event) override;

private:
    void finish(int command);
    void showSecondsLeft();

    std::unique_ptr<Ui::OfferPromptWindow> m_ui;
    const int m_seconds;
    const int m_tickMs;
    int m_ticks = 0;
    int m_timer = 0;
};
