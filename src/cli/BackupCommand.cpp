#include "cli/BackupCommand.h"

#include "cli/CliText.h"

#include "vaultkit/backup/BandSync.h"
#include "vaultkit/backup/StoreLocation.h"
#include "vaultkit/backup/SyncStore.h"
#include "vaultkit/error/VaultError.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <ostream>
#include <unistd.h>

namespace cli {

namespace fs = std::filesystem;
using vaultkit::BandSync;
using vaultkit::StoreLocation;
using vaultkit::SyncStore;
using vaultkit::VaultError;

namespace {

// A failure (1) is the caller's: it turns the error thrown here into its line and status.
constexpr int exitOK = 0, exitUsage = 2, exitDamaged = 5;

struct Parsed {
    std::vector<std::string> args;
    std::map<std::string, std::string> values;
    bool json = false, readData = false, dryRun = false, help = false;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

const std::vector<std::string> kValueOptions = {"keep-last", "keep-daily", "keep-weekly", "keep-monthly",
                                                "only"};

Parsed parse(const std::vector<std::string>& argv) {
    Parsed p;
    bool ended = false;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (ended || a.empty() || a[0] != '-' || a == "-") {
            p.args.push_back(a);
        } else if (a == "--") {
            ended = true;
        } else if (a == "--json") {
            p.json = true;
        } else if (a == "--read-data") {
            p.readData = true;
        } else if (a == "--dry-run") {
            p.dryRun = true;
        } else if (a == "--help" || a == "-h") {
            p.help = true;
        } else {
            std::string name = a.substr(2), value;
            const auto eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
            } else if (i + 1 < argv.size()) {
                value = argv[++i];
            } else {
                throw UsageError("option needs a value: " + a);
            }
            if (a.rfind("--", 0) != 0 ||
                std::find(kValueOptions.begin(), kValueOptions.end(), name) == kValueOptions.end())
                throw UsageError("unknown option for backup: " + a);
            if (name == "only") {
                p.values["only"] += (p.values["only"].empty() ? "" : "\n") + value;
            } else if (!p.values.emplace(name, value).second) {
                throw UsageError("option given twice: --" + name);
            }
        }
    }
    return p;
}

int count(const Parsed& p, const std::string& name) {
    const auto it = p.values.find(name);
    if (it == p.values.end()) return 0;
    char* end = nullptr;
    const long v = std::strtol(it->second.c_str(), &end, 10);
    if (it->second.empty() || *end || v < 1 || v > 1000000)
        throw UsageError("--" + name + " needs a whole number from 1");
    return static_cast<int>(v);
}

std::string sizeText(std::uint64_t bytes) {
    char text[32];
    if (bytes >= (1ull << 30))
        std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1ull << 30));
    else if (bytes >= (1ull << 20))
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1ull << 20));
    else if (bytes >= 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    return text;
}

// The vault directory a VAULT argument names: the directory itself, or the
// visible folder P/N of P/.N.hushcoffer.
fs::path vaultDirOf(const std::string& argument) {
    fs::path p = fs::absolute(argument).lexically_normal();
    if (!p.has_filename()) p = p.parent_path();
    std::error_code ec;
    if (fs::is_directory(p / "data.gocryptfs", ec)) return p;
    const fs::path sibling = p.parent_path() / ("." + p.filename().string() + ".hushcoffer");
    if (fs::is_directory(sibling / "data.gocryptfs", ec)) return sibling;
    return p;
}

// backup push VAULT STORE: the snapshot's id on stdout, progress on a terminal.
int push(std::ostream& out, std::ostream& err, const Parsed& p, BandSync& sync,
         const std::vector<std::string>& args) {
    using nlohmann::json;
    BandSync::PushOptions options;
    const bool tty = ::isatty(STDERR_FILENO) == 1;
    const auto start = std::chrono::steady_clock::now();
    auto last = start;
    if (tty)
        options.progress = [&](const BandSync::PushProgress& pr) {
            const auto now = std::chrono::steady_clock::now();
            if (now - last < std::chrono::milliseconds(250)) return;
            last = now;
            const double seconds = std::chrono::duration<double>(now - start).count();
            std::string line = "\r" + std::to_string(pr.filesDone) + "/" + std::to_string(pr.filesTotal) +
                               " files, " + sizeText(pr.bytesDone) + " of " + sizeText(pr.bytesTotal) +
                               ", " + std::to_string(pr.bandsSent) + " pieces sent";
            if (pr.bytesDone > 0 && seconds > 1) {
                const double left = seconds * static_cast<double>(pr.bytesTotal - pr.bytesDone) /
                                    static_cast<double>(pr.bytesDone);
                line += ", about " + std::to_string(static_cast<long>(left) + 1) + " s left";
            }
            err << line << "\x1b[K" << std::flush;
        };
    const auto r = sync.push(vaultDirOf(args[0]), options);
    if (tty) err << "\r\x1b[K" << std::flush;
    if (p.json) {
        out << json{{"snapshot", r.snapshot},   {"files", r.files},         {"bytes", r.bytes},
                     {"bands", r.bands},         {"bandsSent", r.bandsSent}, {"bytesSent", r.bytesSent},
                     {"filesRead", r.filesRead}, {"skipped", r.skipped}}
                    .dump(2)
             << '\n';
    } else {
        out << r.snapshot << '\n';
        err << r.files << " files, " << sizeText(r.bytes) << "; " << r.bandsSent << " of " << r.bands
             << " pieces sent (" << sizeText(r.bytesSent) << ")\n";
    }
    return exitOK;
}

// backup list STORE: a line (or JSON object) per snapshot.
int list(std::ostream& out, const Parsed& p, BandSync& sync) {
    using nlohmann::json;
    const auto list = sync.list();
    if (p.json) {
        json a = json::array();
        for (const auto& s : list)
            a.push_back({{"id", s.id},
                         {"time", s.time},
                         {"vaultId", s.vaultId},
                         {"vaultName", s.vaultName},
                         {"files", s.files},
                         {"bytes", s.bytes},
                         {"readable", s.readable}});
        out << a.dump(2) << '\n';
    } else {
        for (const auto& s : list)
            out << s.id << '\t' << s.time << '\t'
                 << (s.readable ? s.vaultName : "(damaged: " + s.problem + ")") << '\t' << s.files
                 << " files\t" << sizeText(s.bytes) << '\n';
    }
    return exitOK;
}

// backup restore STORE SNAPSHOT PARENT NAME: the vault directory made.
int restore(std::ostream& out, std::ostream& err, const Parsed& p, BandSync& sync,
            const std::vector<std::string>& args) {
    using nlohmann::json;
    BandSync::RestoreOptions options;
    if (const auto it = p.values.find("only"); it != p.values.end()) {
        std::size_t start = 0;
        for (;;) {
            const auto nl = it->second.find('\n', start);
            options.only.push_back(it->second.substr(start, nl == std::string::npos ? nl : nl - start));
            if (nl == std::string::npos) break;
            start = nl + 1;
        }
    }
    try {
        const auto r = sync.restore(args[1], fs::absolute(args[2]), args[3], options);
        if (p.json)
            out << json{{"vaultDir", r.vaultDir.string()},
                         {"files", r.files},
                         {"bytes", r.bytes},
                         {"damaged", false}}
                        .dump(2)
                 << '\n';
        else
            out << r.vaultDir.string() << '\n';
        return exitOK;
    } catch (const VaultError& e) {
        if (e.kind() != VaultError::Case::integrity) throw;
        if (p.json)
            out << json{{"vaultDir", (fs::absolute(args[2]) / ("." + args[3] + ".hushcoffer")).string()},
                         {"damaged", true},
                         {"problem", e.payload().empty() ? "" : e.payload()[0]}}
                        .dump(2)
                 << '\n';
        err << "hushcoffer-cli: " << CliText::describe(e) << '\n';
        return exitDamaged;
    }
}

// backup check STORE: the damage found, the counts on stderr.
int check(std::ostream& out, std::ostream& err, const Parsed& p, BandSync& sync) {
    using nlohmann::json;
    const auto r = sync.check(p.readData);
    if (p.json) {
        json damage = json::array();
        for (const auto& d : r.damage)
            damage.push_back(
                {{"snapshot", d.snapshot}, {"path", d.path}, {"bands", d.bands}, {"what", d.what}});
        out << json{{"ok", r.ok()},
                     {"snapshots", r.snapshots},
                     {"bands", r.bands},
                     {"bandsRead", r.bandsRead},
                     {"unreferenced", r.unreferenced},
                     {"missingBands", r.missingBands},
                     {"damagedBands", r.damagedBands},
                     {"damage", damage}}
                    .dump(2)
             << '\n';
    } else {
        for (const auto& d : r.damage)
            out << d.what << '\t' << d.snapshot << '\t' << (d.path.empty() ? "(manifest)" : d.path)
                 << '\n';
        err << r.snapshots << " snapshots, " << r.bands << " pieces"
             << (p.readData ? " read" : " present")
             << (r.ok() ? ": no damage"
                        : ": " + std::to_string(r.missingBands.size()) + " missing, " +
                              std::to_string(r.damagedBands.size()) + " damaged")
             << '\n';
    }
    return r.ok() ? exitOK : exitDamaged;
}

// backup prune STORE --keep-...: what is kept and what goes.
int prune(std::ostream& out, std::ostream& err, const Parsed& p, BandSync& sync, const BandSync::KeepRules& rules) {
    using nlohmann::json;
    const auto r = sync.prune(rules, p.dryRun);
    if (p.json) {
        out << json{{"kept", r.kept},
                     {"removed", r.removed},
                     {"bandsRemoved", r.bandsRemoved},
                     {"bandsLeftForPush", r.bandsLeftForPush},
                     {"dryRun", p.dryRun}}
                    .dump(2)
             << '\n';
    } else {
        for (const auto& id : r.kept)
            out << "keep\t" << id << '\n';
        for (const auto& id : r.removed)
            out << (p.dryRun ? "would remove\t" : "remove\t") << id << '\n';
        err << r.bandsRemoved << " pieces " << (p.dryRun ? "would be " : "") << "removed"
             << (r.bandsLeftForPush ? "; a push is running, so unused pieces stay until the next prune" : "")
             << '\n';
    }
    return exitOK;
}

} // namespace

std::string BackupCommand::usage() {
    return "usage: hushcoffer-cli backup push [--json] VAULT STORE\n"
           "       hushcoffer-cli backup list [--json] STORE\n"
           "       hushcoffer-cli backup restore [--json] [--only PATH]... STORE SNAPSHOT PARENT NAME\n"
           "       hushcoffer-cli backup check [--json] [--read-data] STORE\n"
           "       hushcoffer-cli backup prune [--json] [--dry-run] STORE --keep-last N [--keep-daily N]\n"
           "                                   [--keep-weekly N] [--keep-monthly N]\n"
           "\n"
           "Snapshots of a vault's encrypted data in a backup store. No password is needed: only the\n"
           "encrypted files, the vault's record and README.txt are stored, in pieces of 1 MiB named\n"
           "by their SHA-256, so each push sends only the pieces the store does not have.\n"
           "\n"
           "STORE is a local folder (made by the first push), or rclone:REMOTE:PATH for any remote of\n"
           "your rclone configuration (S3, WebDAV, SFTP, B2...).\n"
           "\n"
           "push     takes a snapshot of VAULT (its visible folder or its vault directory, locked or\n"
           "         unlocked) and prints its id. Progress goes to standard error on a terminal.\n"
           "list     one line per snapshot: id, time, vault name, files, size.\n"
           "restore  restores SNAPSHOT as the new vault PARENT/NAME (never over an existing vault or\n"
           "         into a folder that is not empty); it opens with the password and the recovery\n"
           "         phrase of that moment. --only PATH restores just that encrypted path (e.g.\n"
           "         data.gocryptfs/XyZ...) with what the vault needs to open.\n"
           "check    checks that every piece of every snapshot is in the store; --read-data also\n"
           "         reads each one and checks its SHA-256. Names the damaged snapshots and files.\n"
           "prune    keeps, of each vault's snapshots, the newest N (--keep-last) and the newest of\n"
           "         each of the N latest days, weeks and months (UTC) that have one; removes the\n"
           "         others and the pieces no snapshot needs. Safe beside a running push.\n"
           "\n"
           "--json prints one JSON document on standard output instead of lines.\n"
           "Exit status: 0 success, 1 failure, 2 usage error, 5 damage found (check), or files left\n"
           "out of a restore because their pieces are missing or damaged.\n";
}

int BackupCommand::run(const std::vector<std::string>& argv) {
    Parsed p;
    try {
        p = parse(argv);
    } catch (const UsageError& e) {
        err_ << "hushcoffer-cli: " << e.what() << '\n' << usage();
        return exitUsage;
    }
    if (p.help) {
        out_ << usage();
        return exitOK;
    }
    auto usageError = [&](const std::string& message) {
        err_ << "hushcoffer-cli: " << message << '\n' << usage();
        return exitUsage;
    };
    if (p.args.empty()) return usageError("backup needs a subcommand: push, list, restore, check or prune");
    const std::string sub = p.args[0];
    const std::vector<std::string> args(p.args.begin() + 1, p.args.end());
    const std::map<std::string, std::size_t> arity = {
        {"push", 2}, {"list", 1}, {"restore", 4}, {"check", 1}, {"prune", 1}};
    const auto want = arity.find(sub);
    if (want == arity.end()) return usageError("unknown backup subcommand: " + sub);
    if (args.size() != want->second)
        return usageError("backup " + sub + " needs " + std::to_string(want->second) + " argument" +
                          (want->second == 1 ? "" : "s"));
    if (p.readData && sub != "check") return usageError("--read-data is an option of backup check");
    if (p.dryRun && sub != "prune") return usageError("--dry-run is an option of backup prune");
    if (p.values.count("only") && sub != "restore")
        return usageError("--only is an option of backup restore");
    BandSync::KeepRules rules;
    try {
        rules.last = count(p, "keep-last");
        rules.daily = count(p, "keep-daily");
        rules.weekly = count(p, "keep-weekly");
        rules.monthly = count(p, "keep-monthly");
    } catch (const UsageError& e) {
        return usageError(e.what());
    }
    if (sub == "prune" && !rules.any()) return usageError("backup prune needs at least one --keep-... rule");
    if (sub != "prune" && rules.any()) return usageError("--keep-... are options of backup prune");

    const std::string location = sub == "push" ? args[1] : args[0];
    const auto store = StoreLocation::open(location);
    BandSync sync(*store);
    if (sub == "push") return push(out_, err_, p, sync, args);
    if (sub == "list") return list(out_, p, sync);
    if (sub == "restore") return restore(out_, err_, p, sync, args);
    if (sub == "check") return check(out_, err_, p, sync);
    return prune(out_, err_, p, sync, rules);
}

} // namespace cli
