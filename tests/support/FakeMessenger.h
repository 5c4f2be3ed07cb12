#pragma once

#include "core/platform/MessengerService.h"

#include <QList>
#include <QStringList>

// A messenger service that records what it was given and answers with the
// status the test sets.
class FakeMessenger : public MessengerService {
public:
    int send(const QString &address, const QString &sender, const QString &text) override
    {
        calls.append({address, sender, text});
        return status;
    }
    int status = 0;
    QList<QStringList> calls;
};
