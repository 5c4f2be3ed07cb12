#pragma once

#include <QDialog>

// A window of the program that opens at its designed size, can grow but not
// shrink below it, and tells the tray it is the window to bring to the front.
class ResizableDialog : public QDialog {
    Q_OBJECT

public:
    explicit ResizableDialog(QWidget *parent = nullptr);

protected:
    void showEvent(QShowEvent *event) override;
    // Called once, when the window is first shown and placed.
    virtual void opened() {}

private:
    bool m_shownOnce = false;
};
