#pragma once

#include <QDialog>

// A window of the program. When it is first shown it is placed (centred
// over its owner or in the work area), and as its options say it tells the
// tray that it is the window to bring to the front, takes its first size as
// its smallest, and comes to the front itself.
class ProgramDialog : public QDialog {
    Q_OBJECT

public:
    enum Option {
        NoOptions = 0,
        TellsTheTray = 1, // a right click on the tray raises it
        Resizable = 2,    // grows from its first size, never below it
        ComesToFront = 4,
    };

    explicit ProgramDialog(int options, QWidget *parent = nullptr, Qt::WindowFlags flags = {});

protected:
    void showEvent(QShowEvent *event) override;
    // Called once, when the window is first shown and placed.
    virtual void opened() {}

private:
    int m_options;
    bool m_shownOnce = false;
};
