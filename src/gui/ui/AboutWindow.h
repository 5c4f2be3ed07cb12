#pragma once

#include "ProgramDialog.h"

// The program's name, version, logo and a short description.
class AboutWindow : public ProgramDialog {
    Q_OBJECT

public:
    explicit AboutWindow(QWidget *parent = nullptr);

private:
};
