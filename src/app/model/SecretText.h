#pragma once

#include <QByteArray>
#include <QString>

#include <openssl/crypto.h>

#include <initializer_list>
#include <string>
#include <vector>

// Passwords and phrases on their way from the widgets to the vault library:
// converted once to UTF-8 and wiped when no longer needed.
namespace secrettext {

// A password or phrase as UTF-8 for the library; the caller wipes it.
inline std::string bytes(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    std::string out(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    // The intermediate copy is ours alone: wipe it.
    if (!utf8.isEmpty()) OPENSSL_cleanse(utf8.data(), static_cast<std::size_t>(utf8.size()));
    return out;
}

inline void wipe(std::string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

// Wipes the secrets it was given when it goes, also when the work throws.
class WipeOnExit {
public:
    WipeOnExit(std::initializer_list<std::string*> secrets)
        : secrets_(secrets) {}
    ~WipeOnExit() {
        for (std::string* s : secrets_)
            wipe(*s);
    }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    std::vector<std::string*> secrets_;
};

} // namespace secrettext
