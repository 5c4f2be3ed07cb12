#pragma once

#include "core/net/MessageWindows.h"
#include "core/sound/SoundClip.h"
#include "core/sound/SoundWindows.h"
#include "core/transfer/FileOfferWindows.h"

#include <QStringList>

#include <condition_variable>
#include <mutex>

// Stands in for the incoming windows: records each message and, while held,
// keeps the listener waiting as an open window does.
class FakeWindows : public MessageWindows, public SoundWindows, public FileOfferWindows {
public:
    bool showMessage(const QString &text) override
    {
        std::unique_lock lock(m_mutex);
        m_shown << text;
        ++m_open;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_hold; });
        --m_open;
        return true;
    }
    bool showSound(const QString &senderName, SoundClip &clip) override
    {
        std::unique_lock lock(m_mutex);
        m_sounds.append({senderName, QByteArray(clip.samples(), clip.length())});
        ++m_open;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_hold; });
        --m_open;
        return true;
    }
    // File offers: each is recorded and answered with the next of
    // `offerAnswers` (a path accepts, an empty text refuses).
    QString askFileOffer(const QString &senderName, const QString &fileName, quint32 size) override
    {
        std::unique_lock lock(m_mutex);
        m_offers.append({senderName, fileName, size});
        ++m_open;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_hold; });
        --m_open;
        return m_offerAnswers.isEmpty() ? QString() : m_offerAnswers.takeFirst();
    }
    struct Offer {
        QString sender;
        QString fileName;
        quint32 size;
    };
    QList<Offer> offers() const
    {
        std::lock_guard lock(m_mutex);
        return QList<Offer>(m_offers.begin(), m_offers.end());
    }
    void answerOffers(const QStringList &answers)
    {
        std::lock_guard lock(m_mutex);
        m_offerAnswers = answers;
    }
    struct Sound {
        QString sender;
        QByteArray samples;
    };
    // Copies of their own, as the lists grow on another thread.
    QList<Sound> sounds() const
    {
        std::lock_guard lock(m_mutex);
        return QList<Sound>(m_sounds.begin(), m_sounds.end());
    }
    void hold()
    {
        std::lock_guard lock(m_mutex);
        m_hold = true;
    }
    void release()
    {
        {
            std::lock_guard lock(m_mutex);
            m_hold = false;
        }
        m_changed.notify_all();
    }
    QStringList shown() const
    {
        std::lock_guard lock(m_mutex);
        return QStringList(m_shown.begin(), m_shown.end());
    }
    int open() const
    {
        std::lock_guard lock(m_mutex);
        return m_open;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    QStringList m_shown;
    QList<Sound> m_sounds;
    QList<Offer> m_offers;
    QStringList m_offerAnswers;
    int m_open = 0;
    bool m_hold = false;
};
