#include "Documentation.h"

#include "PromptService.h"
#include "core/base/StringTable.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace Documentation {

QString path()
{
    const QString dir = QCoreApplication::applicationDirPath();
    for (const QString &candidate : {dir + QStringLiteral("/Tarvello.pdf"),
                                     dir + QStringLiteral("/../share/doc/tarvello/Tarvello.pdf")}) {
        if (QFileInfo(candidate).isFile())
            return QFileInfo(candidate).canonicalFilePath();
    }
    return QString();
}

void open()
{
    const QString guide = path();
    if (guide.isEmpty()) {
        showNotice(nullptr, StringId::HelpFileMissing);
        return;
    }
    // Any other failure (no viewer for PDF files) stays silent.
    QDesktopServices::openUrl(QUrl::fromLocalFile(guide));
}

} // namespace Documentation
