#pragma once

#include "cli/Secret.h"

#include <stdexcept>
#include <string>

namespace cli {

// Where a command's secrets come from: the terminal (prompt on the terminal,
// typing not echoed) or, with --password-stdin, standard input, one secret a
// line in the order the command asks for them.
class SecretReader {
public:
    class Error : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    explicit SecretReader(bool fromStandardInput)
        : fromStdin_(fromStandardInput) {}

    // Reads one secret without its line end. Throws Error when there is no
    // terminal, the input ends before a line, or the line is too long.
    Secret read(const std::string& prompt);

private:
    Secret readStdinLine();
    Secret readTerminal(const std::string& prompt);
    bool fromStdin_;
};

} // namespace cli
