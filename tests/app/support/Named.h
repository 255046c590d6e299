#pragma once

// Finding a window's controls in widget tests by their object names, as a
// screen reader or a driving script finds them by their names.

#include <QObject>
#include <QString>

#include <stdexcept>
#include <string>

namespace uitest {

// The object of type T named `name` below `root`, or none.
template <class T> T* findNamed(const QObject* root, const char* name) {
    return root->findChild<T*>(QString::fromLatin1(name));
}

// The object of type T named `name` below `root`. Throws when there is none,
// so that the test fails naming the missing control instead of crashing.
template <class T> T* named(const QObject* root, const char* name) {
    T* found = findNamed<T>(root, name);
    if (!found)
        throw std::runtime_error("no control named \"" + std::string(name) + "\" below \"" +
                                 root->objectName().toStdString() + "\"");
    return found;
}

} // namespace uitest
