#include "cli/CliApp.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    cli::CliApp app(std::cout, std::cerr);
    return app.run(args);
}
