#include "NoTrayWindow.h"

#include "core/base/StringTable.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

NoTrayWindow::NoTrayWindow(QWidget *parent) : ProgramDialog(ComesToFront, parent)
{
    setWindowTitle(StringTable::text(StringId::NoTrayTitle));
    auto *layout = new QVBoxLayout(this);
    auto *row = new QHBoxLayout;
    auto *icon = new QLabel(this);
    const int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(size, size));
    icon->setAlignment(Qt::AlignTop);
    row->addWidget(icon);
    auto *text = new QLabel(StringTable::text(StringId::NoTrayText), this);
    text->setObjectName(QStringLiteral("text"));
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    text->setFixedWidth(480);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(text);
    layout->addLayout(row);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    auto *close = new QPushButton(StringTable::text(StringId::Close), this);
    close->setDefault(true);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
}
