#include "cli/ImportCommand.h"

#include "cli/CliApp.h"
#include "cli/CliText.h"
#include "vaultkit/import/Importer.h"

#include <filesystem>
#include <ostream>

namespace cli {

int ImportCommand::run(const CommandLine& line) {
    if (line.args.size() < 2) {
        err_ << "hushcoffer-cli: import needs VAULT and at least one PATH\n" << CommandLine::usage("import");
        return CliApp::exitUsage;
    }
    const auto vault = CliApp::resolve(line.args[0]);
    std::vector<std::filesystem::path> sources(line.args.begin() + 1, line.args.end());
    if (const auto holding = vaultkit::Importer::sourceHoldingVault(sources, *vault)) {
        err_ << "hushcoffer-cli: " << CliText::errorText("err.importContainsVault", {holding->filename().string()})
             << '\n';
        return CliApp::exitFailure;
    }
    const auto results = vaultkit::Importer::copy(sources, *vault);
    bool failed = false;
    for (const auto& r : results) {
        if (r.ok()) {
            // "entries" counts every entry copied, the item itself included (as scripts have read
            // it from the start): its files, its folders and, for a folder, the folder.
            std::error_code ec;
            const bool itemIsFolder = std::filesystem::is_directory(std::filesystem::symlink_status(r.source, ec));
            out_ << "ok\t" << r.source.string() << '\t' << r.destination.string() << '\t'
                 << r.files + r.folders + (itemIsFolder ? 1 : 0) << " entries, " << r.bytes << " bytes\n";
        } else {
            failed = true;
            out_ << "failed\t" << r.source.string() << '\t' << r.destination.string() << '\t'
                 << joinProblems(r.problems) << '\n';
        }
    }
    out_.flush();
    return failed ? CliApp::exitFailure : CliApp::exitOK;
}

std::string ImportCommand::joinProblems(const std::vector<std::string>& problems) {
    std::string out;
    for (const auto& p : problems) {
        if (!out.empty()) out += "; ";
        for (const char c : p) {
            if (c == '\n')
                out += "; ";
            else if (c != '\r')
                out += c;
        }
    }
    return out;
}

} // namespace cli
