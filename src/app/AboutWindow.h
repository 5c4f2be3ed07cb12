#pragma once

#include <QDialog>

// The program's name, version, logo and a short description.
class AboutWindow : public QDialog {
    Q_OBJECT

public:
    explicit AboutWindow(QWidget *parent = nullptr);

protected:
    void showEvent(QShowEvent *event) override;

private:
    bool m_shownOnce = false;
};
