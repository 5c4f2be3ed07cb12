#pragma once

#include <QDialog>

// The information shown once, at the first start: a picture page about the
// program and a "Закрыть" button.
class FirstStartWindow : public QDialog {
    Q_OBJECT

public:
    explicit FirstStartWindow(QWidget *parent = nullptr);

protected:
    void showEvent(QShowEvent *event) override;
};
