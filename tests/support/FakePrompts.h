#pragma once

#include "gui/ui/PromptService.h"

#include <QList>
#include <QString>

#include <functional>

// Answers message boxes for GUI tests and records what they said.
class FakePrompts : public PromptService {
public:
    struct Prompt {
        QWidget *owner;
        Icon icon;
        QString caption;
        QString text;
        Buttons buttons;
    };

    FakePrompts() { PromptService::setInstance(this); }
    ~FakePrompts() override { PromptService::setInstance(nullptr); }

    Answer ask(QWidget *owner, Icon icon, const QString &caption, const QString &text,
               Buttons buttons) override
    {
        asked.append({owner, icon, caption, text, buttons});
        if (onAsk)
            onAsk(asked.last());
        if (buttons == Buttons::Ok)
            return Answer::Ok;
        return answers.isEmpty() ? Answer::No : answers.takeFirst();
    }
    void inform(const QString &caption, const QString &text) override
    {
        informed.append({nullptr, Icon::Information, caption, text, Buttons::Ok});
    }

    QList<Prompt> asked;
    QList<Prompt> informed;
    QList<Answer> answers; // given in order to Yes/No questions
    // Runs while a question is on screen, before it is answered.
    std::function<void(const Prompt &)> onAsk;
};
