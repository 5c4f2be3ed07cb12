#include "AboutWindow.h"

#include "Artwork.h"
#include "core/base/StringTable.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

AboutWindow::AboutWindow(QWidget *parent) : ProgramDialog(TellsTheTray, parent)
{
    using StringTable::text;
    setWindowTitle(text(StringId::AboutTitle));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 16, 18, 14);
    layout->setSpacing(12);
    auto *version = new QLabel(text(StringId::AboutVersion), this);
    version->setAlignment(Qt::AlignCenter);
    version->setTextFormat(Qt::PlainText);
    layout->addWidget(version);
    auto *logo = new QLabel(this);
    logo->setObjectName(QStringLiteral("logo"));
    logo->setPixmap(
        Artwork::picture(QStringLiteral(":/logo.svg"), QSize(180, 152), devicePixelRatioF()));
    logo->setAlignment(Qt::AlignCenter);
    layout->addWidget(logo);
    auto *description = new QLabel(text(StringId::AboutDescription), this);
    description->setAlignment(Qt::AlignCenter);
    description->setTextFormat(Qt::PlainText);
    layout->addWidget(description);
    auto *ok = new QPushButton(text(StringId::Ok), this);
    ok->setDefault(true);
    auto *row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(ok);
    row->addStretch();
    layout->addLayout(row);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
