#pragma once

#include <QString>

// Asks the desktop's file manager to show an item selected in its folder
// (org.freedesktop.FileManager1.ShowItems on the session bus); without one,
// the folder that holds the item is opened with the default handler.
class FileBrowser {
public:
    FileBrowser() = delete;
    static void reveal(const QString& path);
};
