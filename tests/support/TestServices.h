#pragma once

#include "app/ApplicationServices.h"
#include "core/platform/MessengerService.h"
#include "support/FakeDirectory.h"

#include <QDir>

// What a program under test takes from the system: its settings and
// address book in a folder of the test's, fakes for the neighbourhood and
// the resolver (never the machine's network). The fakes' addresses are
// given back for the test to fill.
inline ApplicationServices testServices(const QString &folder, FakeBrowser **browser = nullptr,
                                        FakeResolver **resolver = nullptr,
                                        const QString &configFile = QStringLiteral("Tarvello.conf"))
{
    ApplicationServices services;
    services.store = SettingsStore(QDir(folder).filePath(configFile));
    services.addressBookFile = QDir(folder).filePath(QStringLiteral("AddressBook.xml"));
    services.journalFolder = QDir(folder).filePath(QStringLiteral("state"));
    auto fakeBrowser = std::make_unique<FakeBrowser>();
    auto fakeResolver = std::make_unique<FakeResolver>();
    if (browser)
        *browser = fakeBrowser.get();
    if (resolver)
        *resolver = fakeResolver.get();
    services.browser = std::move(fakeBrowser);
    services.resolver = std::move(fakeResolver);
    // Never asked in these tests: nothing is sent through it.
    services.messenger = std::make_unique<SmbclientMessenger>();
    return services;
}
