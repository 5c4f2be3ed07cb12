#include "ToggleButtonAccessible.h"

#include <QPushButton>

namespace {

QAccessibleInterface *toggleButtonFactory(const QString &className, QObject *object)
{
    if (className != QLatin1String("QPushButton") || !object || !object->isWidgetType())
        return nullptr;
    auto *button = static_cast<QPushButton *>(object);
    // A checkable button of an exclusive group is a radio button to Qt; a
    // button with a menu stays Qt's.
    if (!button->isCheckable() || button->autoExclusive() || button->menu())
        return nullptr;
    return new ToggleButtonAccessible(button);
}

} // namespace

ToggleButtonAccessible::ToggleButtonAccessible(QPushButton *button)
    : QAccessibleWidget(button, QAccessible::Button)
{
    addControllingSignal(QStringLiteral("toggled(bool)"));
}

void ToggleButtonAccessible::install()
{
    QAccessible::installFactory(toggleButtonFactory);
}

QPushButton *ToggleButtonAccessible::button() const
{
    return static_cast<QPushButton *>(widget());
}

QAccessible::Role ToggleButtonAccessible::role() const
{
    return QAccessible::Button;
}

QAccessible::State ToggleButtonAccessible::state() const
{
    QAccessible::State s = QAccessibleWidget::state();
    s.checkable = button()->isCheckable();
    s.checked = button()->isChecked();
    s.pressed = button()->isDown() || button()->isChecked();
    s.defaultButton = button()->isDefault();
    return s;
}

QString ToggleButtonAccessible::text(QAccessible::Text t) const
{
    QString result = QAccessibleWidget::text(t);
    if (t == QAccessible::Name && result.isEmpty()) {
        // The button's own text without its mnemonic marks ("&&" is a '&').
        const QString shown = button()->text();
        for (qsizetype i = 0; i < shown.size(); ++i) {
            if (shown.at(i) == u'&' && i + 1 < shown.size())
                ++i;
            result += shown.at(i);
        }
    }
    return result;
}

QStringList ToggleButtonAccessible::actionNames() const
{
    QStringList names;
    if (widget()->isEnabled())
        names << toggleAction();
    return names + QAccessibleWidget::actionNames();
}

void ToggleButtonAccessible::doAction(const QString &actionName)
{
    if (!widget()->isEnabled())
        return;
    if (actionName == toggleAction() || actionName == pressAction())
        button()->click();
    else
        QAccessibleWidget::doAction(actionName);
}
