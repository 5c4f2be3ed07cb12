#pragma once

#include <QAccessibleWidget>

class QPushButton;

// A push button that stays down ("Записать", "Воспроизвести") as a screen
// reader should know it: a button that can be checked, not a check box,
// which is what Qt reports for every checkable button.
class ToggleButtonAccessible : public QAccessibleWidget {
public:
    explicit ToggleButtonAccessible(QPushButton *button);

    QAccessible::Role role() const override;
    QAccessible::State state() const override;
    QString text(QAccessible::Text t) const override;
    QStringList actionNames() const override;
    void doAction(const QString &actionName) override;

    // Puts the class in charge of every checkable push button; once per
    // program, before a window asks for its buttons' interfaces.
    static void install();

private:
    QPushButton *button() const;
};
