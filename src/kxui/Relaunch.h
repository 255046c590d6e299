#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// Starts the application anew ("Restart Now" after a language change): the
// running instance quits the way the application quits (its vaults locked
// first), and once its event loop ends a new instance of the same program
// starts with the same arguments. If quitting is cancelled (a vault still in
// use), no new instance starts.
//
// The new instance is started by a helper process that waits until this
// process has ended (so it never meets the old instance still holding the
// one-instance socket) and then runs the program.
namespace Relaunch {

void now();

// How the application quits; by default QCoreApplication::quit(). The
// application sets its own quit command here; it returns false when the user
// cancelled quitting, and then no new instance starts later either.
void setQuitHandler(std::function<bool()> quit);

// Quitting was cancelled after the handler returned (the user kept a vault
// in use open in an alert shown later): no new instance starts, not even at
// a later quit.
void cancel();

// The program and arguments the new instance is started with: this
// program's, its arguments passed through the application's filter (set
// here; none keeps them all). A restart asked for in the window should come
// back to the window, so the application leaves out what would start it
// hidden.
struct Command {
    QString program;
    QStringList arguments;
};
Command command();
void setArgumentFilter(std::function<QStringList(const QStringList&)> filter);

// Starts `c` once the calling process has ended. Returns false when the
// helper process cannot be made.
bool startAfterExit(const Command& c);

} // namespace Relaunch
