// Start-up time of the application against a minimal Qt widgets program:
// each is launched with the screenshot mode asking for the main window with
// no delay, and timed from launch until it has drawn the window into a PNG
// and ended. Rounds alternate between the two so that both see the same
// machine load; the medians and their ratio are printed.
//
//   build/<dir>/bench/startup_bench [rounds]     (default 9)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

// Runs `program` with the extra environment entries; returns the seconds it
// took, or a negative number when it failed.
double timedRun(const std::string& program, const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const std::string& extra : extraEnv)
            if (entry.substr(0, entry.find('=') + 1) == extra.substr(0, extra.find('=') + 1)) replaced = true;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (std::string& s : env)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string prog = program;
    char* argv[] = {prog.data(), nullptr};

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return seconds;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    char pattern[] = "/tmp/hc-startup-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path base = made;
    fs::create_directories(base / "support");
    const std::vector<std::string> env{
        "QT_QPA_PLATFORM=offscreen",
        "KX_SNAPSHOT_WINDOW=main",
        "KX_SNAPSHOT_DELAY=0",
        "KX_SNAPSHOT_OUT=" + (base / "out").string(),
        "HC_SUPPORT_DIR=" + (base / "support").string(),
        "XDG_CONFIG_HOME=" + (base / "config").string(),
        "XDG_DATA_HOME=" + (base / "data").string(),
        "XDG_STATE_HOME=" + (base / "state").string(),
        "XDG_RUNTIME_DIR=" + base.string(),
        "KX_TELEMETRY=0",
        "KX_SERVICE_BASE=",
    };
    const std::string app = HC_HUSHCOFFER_EXE;
    const std::string minimal = HC_MINIMAL_EXE;

    // one untimed run each: the first start reads fonts and libraries from disk
    if (timedRun(app, env) < 0 || timedRun(minimal, env) < 0) {
        std::fprintf(stderr, "startup_bench: a program failed to start or to draw its window\n");
        fs::remove_all(base);
        return 1;
    }
    std::vector<double> appTimes, minimalTimes;
    for (int i = 0; i < rounds; ++i) {
        const double a = timedRun(app, env);
        const double m = timedRun(minimal, env);
        if (a < 0 || m < 0) {
            std::fprintf(stderr, "startup_bench: round %d failed\n", i + 1);
            fs::remove_all(base);
            return 1;
        }
        appTimes.push_back(a);
        minimalTimes.push_back(m);
    }
    fs::remove_all(base);
    const double a = median(appTimes), m = median(minimalTimes);
    std::printf("start-up to first drawn window, median of %d rounds\n", rounds);
    std::printf("  hushcoffer      %8.1f ms\n", a * 1000);
    std::printf("  minimal Qt app  %8.1f ms\n", m * 1000);
    std::printf("  ratio           %8.2f  (target: at most 1.50)\n", a / m);
    std::printf("startup: %.3f\n", a / m);
    return 0;
}
