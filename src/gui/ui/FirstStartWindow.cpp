#include "FirstStartWindow.h"

#include "Artwork.h"
#include "core/base/StringTable.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
constexpr QSize kPictureSize(374, 425);
}

FirstStartWindow::FirstStartWindow(QWidget *parent) : ProgramDialog(NoOptions, parent)
{
    setWindowTitle(StringTable::text(StringId::FirstStartTitle));
    auto *layout = new QVBoxLayout(this);
    auto *picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("picture"));
    picture->setPixmap(
        Artwork::picture(QStringLiteral(":/first-start.svg"), kPictureSize, devicePixelRatioF()));
    picture->setFixedSize(kPictureSize);
    picture->setFrameShape(QFrame::NoFrame);
    layout->addWidget(picture);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    auto *close = new QPushButton(StringTable::text(StringId::Close), this);
    close->setDefault(true);
    buttons->addWidget(close);
    buttons->addStretch();
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
}
