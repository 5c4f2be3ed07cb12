#include "gui/directory/AddressBookWindow.h"
#include "gui/directory/UserEditorWindow.h"
#include "gui/ui/ModalState.h"
#include "support/GuiTestMain.h"

#include "net/TestSupport.h"
#include "support/FakeDirectory.h"
#include "support/FakePrompts.h"
#include "support/Widgets.h"

#include <QAccessible>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

using Widgets::button;

namespace {

Ipv4Address ip(int a, int b, int c, int d)
{
    return Ipv4Address{{a, b, c, d}};
}

struct Editor {
    QLineEdit *name;
    QLineEdit *ip;
    QLineEdit *networkName;
    QRadioButton *ipRadio;
    QRadioButton *nameRadio;
};

Editor fieldsOf(UserEditorWindow &w)
{
    const auto edits = w.findChildren<QLineEdit *>();
    const auto radios = w.findChildren<QRadioButton *>();
    return {edits.at(0), edits.at(1), edits.at(2), radios.at(0), radios.at(1)};
}

// When the user editor opens, fills it and presses the given button.
void inEditor(QObject *context, const std::function<void(UserEditorWindow &)> &act)
{
    QTimer::singleShot(0, context, [act] {
        QVERIFY(TestSupport::waitUntil(
            [] { return Widgets::visibleWindow<UserEditorWindow>() != nullptr; }));
        act(*Widgets::visibleWindow<UserEditorWindow>());
    });
}

} // namespace

class AddressBookWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    FakePrompts *m_prompts = nullptr;
    FakeResolver m_resolver;

    QString file() const { return m_dir.filePath(QStringLiteral("AddressBook.xml")); }
    QStringList rows(AddressBookWindow &w)
    {
        QStringList out;
        auto *list = w.findChild<QTreeWidget *>();
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            out << list->topLevelItem(i)->text(0) + u'|' + list->topLevelItem(i)->text(1);
        return out;
    }
    void writeBook()
    {
        AddressBook book;
        book.append(
            {QStringLiteral("Бухгалтерия"), EntryKind::NetworkName, QStringLiteral("PC12"), {}});
        book.append({QStringLiteral("Склад"), EntryKind::IpAddress, {}, ip(10, 1, 2, 3)});
        QVERIFY(book.save(file()));
    }
    void select(AddressBookWindow &w, int row)
    {
        auto *list = w.findChild<QTreeWidget *>();
        list->setCurrentItem(list->topLevelItem(row));
    }

private slots:
    void init()
    {
        QFile::remove(file());
        m_prompts = new FakePrompts;
        m_resolver.addresses = {{"PC-B", ip(10, 77, 0, 2)}};
    }
    void cleanup() { delete m_prompts; }

    void noFileGivesAnEmptyListAndAddingCreatesTheFile()
    {
        AddressBookWindow w(file(), m_resolver);
        w.show();
        QCOMPARE(w.windowTitle(), QStringLiteral("Адресная книга"));
        QVERIFY(rows(w).isEmpty());
        QVERIFY(!button(&w, QStringLiteral("Удалить"))->isEnabled());
        auto *list = w.findChild<QTreeWidget *>();
        QCOMPARE(list->headerItem()->text(0), QStringLiteral("Пользователь"));
        QCOMPARE(list->headerItem()->text(1), QStringLiteral("Адрес"));
        QVERIFY(w.findChild<QPlainTextEdit *>()->toPlainText().startsWith(QStringLiteral(
            "Адресная книга предназначена для:\n1) Задания более удобно читаемых имен")));

        inEditor(this, [](UserEditorWindow &e) {
            QCOMPARE(e.windowTitle(), QStringLiteral("Введите параметры для нового пользователя"));
            const Editor f = fieldsOf(e);
            QVERIFY(f.nameRadio->isChecked());
            QVERIFY(!f.ip->isEnabled());
            QVERIFY(f.networkName->isEnabled());
            QVERIFY(f.name->hasFocus() || !e.isActiveWindow());
            f.name->setText(QStringLiteral("Второй"));
            f.networkName->setText(QStringLiteral("pc-b"));
            QTest::mouseClick(Widgets::button(&e, QStringLiteral("Добавить")), Qt::LeftButton);
        });
        QTest::mouseClick(button(&w, QStringLiteral("Добавить")), Qt::LeftButton);
        QCOMPARE(rows(w), QStringList{QStringLiteral("Второй|pc-b")});
        m_prompts->answers = {PromptService::Answer::Yes};
        QSignalSpy finished(&w, &QDialog::finished);
        QTest::mouseClick(button(&w, QStringLiteral("Закрыть")), Qt::LeftButton);
        QCOMPARE(finished.at(0).at(0).toInt(), int(AddressBookWindow::Saved));
        QCOMPARE(m_prompts->asked.at(0).text,
                 QStringLiteral("Вы хотите внести изменения в адресную книгу?"));
        AddressBook back;
        QVERIFY(back.load(file()));
        QCOMPARE(back.size(), 1);
        QCOMPARE(back.at(0).networkName, QStringLiteral("pc-b"));
    }

    void unreadableBookIsSaidAndKeptAtTheFirstSave()
    {
        const QByteArray old = "<Phonebook><Item Address=\"PC\" Type=\"2\">Tom & Jerry</Item>";
        QFile f(file());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(old);
        f.close();
        auto addAndSave = [&](const QString &name) {
            AddressBookWindow w(file(), m_resolver);
            w.show();
            inEditor(this, [name](UserEditorWindow &e) {
                const Editor f = fieldsOf(e);
                f.name->setText(name);
                f.networkName->setText(QStringLiteral("PC-N"));
                QTest::mouseClick(Widgets::button(&e, QStringLiteral("Добавить")), Qt::LeftButton);
            });
            QTest::mouseClick(button(&w, QStringLiteral("Добавить")), Qt::LeftButton);
            m_prompts->answers = {PromptService::Answer::Yes};
            QTest::mouseClick(button(&w, QStringLiteral("Закрыть")), Qt::LeftButton);
        };
        addAndSave(QStringLiteral("Первый"));
        // Said when the window opened, with the path and the reason.
        const QString said = m_prompts->asked.at(0).text;
        QVERIFY2(said.startsWith(QStringLiteral("Не удалось прочитать адресную книгу из файла ") +
                                 file() + QStringLiteral(": ошибка в строке 1")),
                 qPrintable(said));
        QVERIFY2(said.endsWith(file() + QStringLiteral(".bak.")), qPrintable(said));
        QFile kept(file() + QStringLiteral(".bak"));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), old);
        // Later saves leave the backup alone.
        addAndSave(QStringLiteral("Второй"));
        AddressBook back;
        QVERIFY(back.load(file()));
        QCOMPARE(back.size(), 2);
        kept.seek(0);
        QCOMPARE(kept.readAll(), old);
    }

    void closeWithoutChangesAsksNothing()
    {
        writeBook();
        AddressBookWindow w(file(), m_resolver);
        w.show();
        QCOMPARE(rows(w), (QStringList{"Бухгалтерия|PC12", "Склад|10.1.2.3"}));
        QSignalSpy finished(&w, &QDialog::finished);
        QTest::mouseClick(button(&w, QStringLiteral("Закрыть")), Qt::LeftButton);
        QCOMPARE(finished.at(0).at(0).toInt(), int(AddressBookWindow::NotSaved));
        QVERIFY(m_prompts->asked.isEmpty());
    }

    void escapeAfterChangesLosesThem()
    {
        writeBook();
        const QByteArray before = [&] {
            QFile f(file());
            f.open(QIODevice::ReadOnly);
            return f.readAll();
        }();
        AddressBookWindow w(file(), m_resolver);
        w.show();
        select(w, 0);
        m_prompts->answers = {PromptService::Answer::Yes};
        QTest::mouseClick(button(&w, QStringLiteral("Удалить")), Qt::LeftButton);
        QSignalSpy finished(&w, &QDialog::finished);
        QTest::keyClick(&w, Qt::Key_Escape);
        QCOMPARE(finished.at(0).at(0).toInt(), int(AddressBookWindow::NotSaved));
        QCOMPARE(m_prompts->asked.size(), 1); // only the delete question
        QFile f(file());
        f.open(QIODevice::ReadOnly);
        QCOMPARE(f.readAll(), before);
    }

    void answeringNoLosesTheChanges()
    {
        writeBook();
        AddressBookWindow w(file(), m_resolver);
        w.show();
        select(w, 1);
        m_prompts->answers = {PromptService::Answer::Yes, PromptService::Answer::No};
        QTest::mouseClick(button(&w, QStringLiteral("Удалить")), Qt::LeftButton);
        QCOMPARE(m_prompts->asked.at(0).text,
                 QStringLiteral("Вы действительно хотите удалить пользователя <Склад>"));
        QCOMPARE(m_prompts->asked.at(0).icon, PromptService::Icon::Question);
        QCOMPARE(rows(w), QStringList{QStringLiteral("Бухгалтерия|PC12")});
        QVERIFY(!button(&w, QStringLiteral("Удалить"))->isEnabled());
        QSignalSpy finished(&w, &QDialog::finished);
        QTest::mouseClick(button(&w, QStringLiteral("Закрыть")), Qt::LeftButton);
        QCOMPARE(finished.at(0).at(0).toInt(), int(AddressBookWindow::NotSaved));
        AddressBook back;
        back.load(file());
        QCOMPARE(back.size(), 2);
    }

    void editingKeepsTheOrderAndNewEntriesGoLast()
    {
        writeBook();
        AddressBookWindow w(file(), m_resolver);
        w.show();
        select(w, 0);
        inEditor(this, [](UserEditorWindow &e) {
            QCOMPARE(e.windowTitle(), QStringLiteral("Введите параметры пользователя"));
            fieldsOf(e).name->setText(QStringLiteral("Бухгалтерия-2"));
            QTest::mouseClick(Widgets::button(&e, QStringLiteral("Сохранить")), Qt::LeftButton);
        });
        w.editSelected();
        QCOMPARE(rows(w), (QStringList{"Бухгалтерия-2|PC12", "Склад|10.1.2.3"}));
        inEditor(this, [](UserEditorWindow &e) {
            const Editor f = fieldsOf(e);
            f.name->setText(QStringLiteral("   ")); // a name of blanks is accepted
            f.ipRadio->click();
            f.ip->setText(QStringLiteral("192.168.0.7"));
            QTest::mouseClick(Widgets::button(&e, QStringLiteral("Добавить")), Qt::LeftButton);
        });
        w.addEntry();
        QCOMPARE(rows(w).last(), QStringLiteral("   |192.168.0.7"));
        QVERIFY(w.isModified());
    }

    void collapsingTheHelpEnlargesTheList()
    {
        AddressBookWindow w(file(), m_resolver);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto *list = w.findChild<QTreeWidget *>();
        auto *help = w.findChild<QPlainTextEdit *>();
        const QRect before = list->geometry();
        const int helpTop = help->geometry().top();
        QTest::mouseClick(button(&w, QStringLiteral("-")), Qt::LeftButton);
        QTest::qWait(0);
        QVERIFY(!help->isVisible());
        QCOMPARE(list->geometry().top(), helpTop);
        QVERIFY(list->geometry().bottom() >= before.bottom());
    }

    void editorValidation()
    {
        AddressBookEntry entry;
        UserEditorWindow e(entry, true, m_resolver);
        e.show();
        const Editor f = fieldsOf(e);
        QTest::mouseClick(button(&e, QStringLiteral("Добавить")), Qt::LeftButton);
        QCOMPARE(m_prompts->asked.at(0).text,
                 QStringLiteral("Имя пользователя не может быть пустым"));
        f.name->setText(QStringLiteral("X"));
        QTest::mouseClick(button(&e, QStringLiteral("Добавить")), Qt::LeftButton);
        QCOMPARE(m_prompts->asked.at(1).text, QStringLiteral("Сетевое имя не может быть пустым"));
        f.ipRadio->click();
        QCOMPARE(e.ipFieldText(), QStringLiteral("0.0.0.0")); // blank reads as 0.0.0.0
        QTest::mouseClick(button(&e, QStringLiteral("Добавить")), Qt::LeftButton);
        QCOMPARE(m_prompts->asked.at(2).text, QStringLiteral("IP-адрес не может быть пустым"));
        QVERIFY(e.isVisible());
        f.ip->setText(QStringLiteral("10.0"));
        QCOMPARE(e.ipFieldText(), QStringLiteral("10.0.0.0"));
        f.ip->setText(QStringLiteral("300.1.1.1"));
        QCOMPARE(e.ipFieldText(), QStringLiteral("255.1.1.1"));
    }

    void editorTabsFromTheChosenKindToItsField()
    {
        AddressBookEntry entry;
        entry.kind = EntryKind::NetworkName;
        UserEditorWindow e(entry, false, m_resolver);
        e.show();
        QVERIFY(QTest::qWaitForWindowExposed(&e));
        // What a screen reader says at each Tab from the name: every field
        // and arrow named, the chosen kind's field right after the kinds
        // (Qt stops at the first of the two buttons; arrows choose).
        QStringList heard;
        for (int i = 0; i < 7; ++i) {
            QWidget *focus = QApplication::focusWidget();
            heard << QAccessible::queryAccessibleInterface(focus)->text(QAccessible::Name);
            QTest::keyClick(focus, Qt::Key_Tab);
        }
        QCOMPARE(
            heard,
            QStringList({"Имя", "IP адрес", "Сетевое имя", "Определить сетевое имя по IP адресу",
                         "Определить IP адрес по сетевому имени", "Сохранить", "Отмена"}));
    }

    void lookupsActOnlyInTheirKind()
    {
        AddressBookEntry entry;
        UserEditorWindow e(entry, true, m_resolver);
        e.show();
        const Editor f = fieldsOf(e);
        // "=>" with the network name kind: nothing.
        e.resolveName();
        QVERIFY(m_prompts->asked.isEmpty());
        f.networkName->setText(QStringLiteral("PC-B"));
        e.resolveAddress();
        QCOMPARE(f.ip->text(), QStringLiteral("10.77.0.2"));
        QVERIFY(f.ipRadio->isChecked());
        QCOMPARE(f.networkName->text(), QStringLiteral("PC-B")); // kept
        // "<=" with the IP kind: nothing.
        m_resolver.addresses.clear();
        e.resolveAddress();
        QCOMPARE(f.ip->text(), QStringLiteral("10.77.0.2"));
        // "=>": the name in capitals, and the kind changes.
        m_resolver.addresses = {{"pc-b.local", Ipv4Address{{10, 77, 0, 2}}}};
        e.resolveName();
        QCOMPARE(f.networkName->text(), QStringLiteral("PC-B.LOCAL"));
        QVERIFY(f.nameRadio->isChecked());
        // A blank address reports 0.0.0.0.
        f.ipRadio->click();
        f.ip->clear();
        e.resolveName();
        QCOMPARE(m_prompts->asked.last().text,
                 QStringLiteral("Невозможно автоматически определить имя для IP-адреса <0.0.0.0>"));
        f.nameRadio->click();
        f.networkName->setText(QStringLiteral("nowhere"));
        e.resolveAddress();
        QCOMPARE(m_prompts->asked.last().text,
                 QStringLiteral(
                     "Невозможно автоматически определить IP-адрес для пользователя <nowhere>"));
    }

    void aPendingLookUpHoldsSavingBack()
    {
        AddressBookEntry entry;
        entry.name = QStringLiteral("Второй");
        UserEditorWindow e(entry, true, m_resolver);
        QSignalSpy finished(&e, &QDialog::finished);
        e.show();
        const Editor f = fieldsOf(e);
        f.networkName->setText(QStringLiteral("PC-B"));
        m_resolver.delayMs = 400;
        auto *save = Widgets::button(&e, QStringLiteral("Добавить"));
        auto *byName = Widgets::button(&e, QStringLiteral("=>"));
        bool heldBack = false;
        QTimer::singleShot(100, &e, [&] {
            heldBack = !save->isEnabled() && !byName->isEnabled();
            // Enter and "Добавить" while "<=" runs close nothing.
            QTest::keyClick(&e, Qt::Key_Return);
            save->click();
            e.accept();
        });
        e.resolveAddress();
        QVERIFY(heldBack);
        QVERIFY(finished.isEmpty());
        QVERIFY(e.isVisible());
        QVERIFY(save->isEnabled() && byName->isEnabled());
        QCOMPARE(f.ip->text(), QStringLiteral("10.77.0.2"));

        // Closed while a look-up runs: the late answer changes nothing.
        f.ipRadio->click();
        QTimer::singleShot(100, &e, [&] { e.reject(); });
        e.resolveName();
        QCOMPARE(finished.size(), 1);
        QVERIFY(f.ipRadio->isChecked());
        QCOMPARE(e.entry().kind, EntryKind::IpAddress);
        m_resolver.delayMs = 0;
    }

    void aFailedWriteKeepsTheWindowOpen()
    {
        const QString unwritable = file() + QStringLiteral("/AddressBook.xml");
        QFile blocker(file());
        QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where a folder should be
        blocker.close();
        AddressBookWindow w(unwritable, m_resolver);
        w.show();
        inEditor(this, [](UserEditorWindow &e) {
            const Editor f = fieldsOf(e);
            f.name->setText(QStringLiteral("Y"));
            f.networkName->setText(QStringLiteral("PC"));
            QTest::mouseClick(Widgets::button(&e, QStringLiteral("Добавить")), Qt::LeftButton);
        });
        w.addEntry();
        m_prompts->answers = {PromptService::Answer::Yes};
        QSignalSpy finished(&w, &QDialog::finished);
        QTest::mouseClick(button(&w, QStringLiteral("Закрыть")), Qt::LeftButton);
        QCOMPARE(finished.size(), 0);
        QVERIFY(w.isVisible());
        QVERIFY(m_prompts->asked.last().text.contains(unwritable));
        QCOMPARE(rows(w), QStringList{QStringLiteral("Y|PC")});
    }
};

TARVELLO_GUI_TEST_MAIN(AddressBookWindowTest)
#include "AddressBookWindowTest.moc"
