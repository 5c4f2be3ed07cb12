#pragma once

#include "core/directory/AddressBook.h"

#include "gui/ui/ProgramDialog.h"

#include <functional>
#include <memory>

class HostResolver;

namespace Ui {
class UserEditorWindow;
}

// Edits one address book entry: its name and either its IP address or its
// network name, each of which can be looked up from the other.
class UserEditorWindow : public ProgramDialog {
    Q_OBJECT

public:
    UserEditorWindow(const AddressBookEntry &entry, bool isNew, HostResolver &resolver,
                     QWidget *parent = nullptr);
    ~UserEditorWindow() override;

    // The edited entry, once the window ended with OK.
    const AddressBookEntry &entry() const { return m_entry; }
    // The IP field's text as the address control reads it: "a.b.c.d", with
    // blank parts as 0 and parts above 255 as 255.
    QString ipFieldText() const;

public slots:
    void accept() override;
    void resolveName();    // "=>"
    void resolveAddress(); // "<="

protected:
    void opened() override;

private:
    void applyKind();
    // Runs a look-up off the GUI thread with saving and the other look-up
    // held back until it answers.
    template <typename T> T lookUp(const std::function<T()> &work);

    std::unique_ptr<Ui::UserEditorWindow> m_ui;
    AddressBookEntry m_entry;
    HostResolver &m_resolver;
    bool m_lookupPending = false;
};
