#pragma once

#include <QString>

// Where a file offer is put to the user (see MessageWindows).
class FileOfferWindows {
public:
    virtual ~FileOfferWindows() = default;

    // The countdown prompt, then where to save the file. Returns the chosen
    // full path, or an empty text when the offer is refused.
    virtual QString askFileOffer(const QString &senderName, const QString &fileName,
                                 quint32 size) = 0;
};
