#pragma once

#include "core/directory/AddressBook.h"

#include "gui/ui/ProgramDialog.h"

#include <memory>

class HostResolver;

namespace Ui {
class AddressBookWindow;
}

// Lists the address book's entries and adds, edits and deletes them; the
// file is written only when the user confirms it on "Закрыть".
class AddressBookWindow : public ProgramDialog {
    Q_OBJECT

public:
    // Never one of Qt's own results (0 and 1), nor kDialogNotFinished.
    enum Result { Saved = 120, NotSaved = 121 };

    AddressBookWindow(const QString &path, HostResolver &resolver, QWidget *parent = nullptr);
    ~AddressBookWindow() override;

    const AddressBook &book() const { return m_book; }
    bool isModified() const { return m_modified; }

public slots:
    void addEntry();
    void editSelected();
    void deleteSelected();
    void collapseHelp();
    void closeAsked();      // "Закрыть"
    void reject() override; // Escape and the close box: nothing is saved

protected:
    void opened() override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void fill();
    void fitColumns();
    int selectedPosition() const;
    // Runs the user editor; true (with the entry) on OK.
    bool runEditor(AddressBookEntry &entry, bool isNew);

    std::unique_ptr<Ui::AddressBookWindow> m_ui;
    QString m_path;
    // Why an existing file could not be read, until it has been said; the
    // old file is then kept beside the first save over it.
    QString m_loadError;
    bool m_keepOld = false;
    HostResolver &m_resolver;
    AddressBook m_book;
    bool m_modified = false;
};
