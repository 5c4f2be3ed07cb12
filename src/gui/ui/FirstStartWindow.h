#pragma once

#include "ProgramDialog.h"

// The information shown once, at the first start: a picture page about the
// program and a "Закрыть" button.
class FirstStartWindow : public ProgramDialog {
    Q_OBJECT

public:
    explicit FirstStartWindow(QWidget *parent = nullptr);
};
