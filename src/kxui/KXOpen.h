#pragma once

#include <QString>
#include <QUrl>

#include <functional>

// Hands addresses to the desktop: web links to the browser, mailto: links to
// the mail program, folders to the file manager.
namespace KXOpen {

// Opens `url` with the desktop's handler for it.
void url(const QUrl& url);
// Opens a folder in the file manager.
void folder(const QString& path);
// Shows a file selected in a file-manager window (the freedesktop
// FileManager1 interface on the session bus); where no file manager offers
// that, opens the file's folder instead.
void reveal(const QString& file);

// Tests see what would be opened instead of starting programs: the handler
// gets each address, with `reveal` true for reveal(). An empty handler
// restores the desktop.
using Handler = std::function<void(const QUrl& url, bool reveal)>;
void setHandlerForTesting(Handler handler);

} // namespace KXOpen
