#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The running Tarvello of this user answers on a local socket named after
// the instance title, in the user's runtime folder: a later instance that
// can connect knows it is not alone, and the command line asks it what its
// tray holds. One request line, one answer, then the connection closes.
namespace InstanceChannel {

constexpr auto kInstanceTitle = "{1E55945C-F84D-4c99-830D-CA86CE07EC2E}";
// Requests: the user list as the tray menu holds it (UserListBuilder's
// lines), and the address the neighbourhood gave a name ("" when unknown).
constexpr auto kUsersRequest = "users";
constexpr auto kResolveRequest = "resolve ";
// Nothing longer is read from either side.
constexpr int kMaxRequestBytes = 1024;
constexpr int kMaxAnswerBytes = 4 * 1024 * 1024;

QString socketPath();

// Asks the running instance; no value when none answers within the time.
// Blocking: for the command line.
std::optional<QByteArray> ask(const QByteArray &request, int timeoutMs = 3000);

} // namespace InstanceChannel
