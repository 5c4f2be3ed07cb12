#include "app/Application.h"
#include "gui/ui/AboutWindow.h"
#include "gui/ui/Documentation.h"
#include "gui/ui/ModalState.h"
#include "support/GuiTestMain.h"
#include "support/TestServices.h"

#include "net/TestSupport.h"
#include "support/FakePrompts.h"
#include "support/Widgets.h"

#include <QDesktopServices>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

// Stands in for the desktop's PDF viewer.
class Viewer : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
};

class AboutAndDocumentationTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    FakePrompts *m_prompts = nullptr;
    QString guideBesideProgram() const
    {
        return QCoreApplication::applicationDirPath() + QStringLiteral("/Tarvello.pdf");
    }

private slots:
    void init() { m_prompts = new FakePrompts; }
    void cleanup()
    {
        delete m_prompts;
        QFile::remove(guideBesideProgram());
    }

    void aboutShowsNameVersionAndDescription()
    {
        Application main{testServices(m_dir.path(), nullptr, nullptr, QStringLiteral("c.conf"))};
        bool seen = false;
        QTimer::singleShot(0, this, [&] {
            QVERIFY(TestSupport::waitUntil(
                [] { return Widgets::visibleWindow<AboutWindow>() != nullptr; }));
            AboutWindow *w = Widgets::visibleWindow<AboutWindow>();
            QCOMPARE(w->windowTitle(), QStringLiteral("О программе Tarvello:"));
            QStringList texts;
            for (auto *l : w->findChildren<QLabel *>())
                texts << l->text();
            QVERIFY(texts.contains(
                QStringLiteral("Tarvello, Version 2.0\nДата компиляции: 30.11.2003")));
            QVERIFY(texts.contains(
                QStringLiteral("Программа позволяет обмениваться\nтекстовыми и звуковыми "
                               "сообщениями в\nпределах локальной сети.")));
            QVERIFY(!w->findChild<QLabel *>(QStringLiteral("logo"))->pixmap().isNull());
            QVERIFY(ModalState::instance().isOpen());
            QCOMPARE(ModalState::instance().windowToRaise(), w);
            seen = true;
            QTest::mouseClick(Widgets::button(w, QStringLiteral("OK")), Qt::LeftButton);
        });
        QVERIFY(main.dispatchCommand(32775));
        QVERIFY(seen);
        QVERIFY(!ModalState::instance().isOpen());
    }

    void missingGuideIsSaid()
    {
        QVERIFY(Documentation::path().isEmpty());
        Application main{testServices(m_dir.path(), nullptr, nullptr, QStringLiteral("c.conf"))};
        QVERIFY(main.dispatchCommand(32781));
        QCOMPARE(m_prompts->asked.size(), 1);
        QCOMPARE(m_prompts->asked.at(0).text,
                 QStringLiteral("Файл справки Tarvello.pdf не найден"));
        QCOMPARE(m_prompts->asked.at(0).caption, QStringLiteral("Предупреждение"));
    }

    void guideBesideTheProgramOpensInTheViewer()
    {
        QFile guide(guideBesideProgram());
        QVERIFY(guide.open(QIODevice::WriteOnly));
        guide.write("%PDF-1.4\n");
        guide.close();
        Viewer viewer;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &viewer, "open");
        Documentation::open();
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(viewer.opened.size(), 1);
        QCOMPARE(viewer.opened.at(0).toLocalFile(),
                 QFileInfo(guideBesideProgram()).canonicalFilePath());
        QVERIFY(m_prompts->asked.isEmpty());
    }
};

TARVELLO_GUI_TEST_MAIN(AboutAndDocumentationTest)
#include "AboutAndDocumentationTest.moc"
