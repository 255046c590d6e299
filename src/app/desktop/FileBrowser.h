#pragma once

#include <QString>

#include <functional>

class QObject;

// The desktop's file manager.
class FileBrowser {
public:
    FileBrowser() = delete;
    // Shows an item selected in its folder (org.freedesktop.FileManager1
    // ShowItems on the session bus); without one, the folder that holds the
    // item is opened with the default handler.
    static void reveal(const QString& path);
    // Opens a folder itself, showing what is inside it: FileManager1
    // ShowFolders, else the default handler for folders (xdg-open, or Qt's
    // desktop services where there is no xdg-open). `done` gets false when
    // nothing could open it; it runs on the thread of `context`, and not at
    // all once `context` is gone.
    static void openFolder(const QString& path, QObject* context, std::function<void(bool opened)> done);
};
