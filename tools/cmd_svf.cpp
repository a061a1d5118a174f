// dorvane svf: plays a Serial Vector Format file.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "svf_parser.h"
#include "svf_player.h"
#include "tool.h"

namespace dorvane::tools {
namespace {

// A progress bar on stderr when it is a terminal, shown once a run has taken a second.
class ProgressBar {
public:
    explicit ProgressBar(bool enabled) : enabled_(enabled), start_(secondsNow()) {}
    ~ProgressBar() { finish(); }
    void update(uint64_t done, uint64_t total, uint32_t line) {
        if (!enabled_) return;
        const double now = secondsNow();
        if (now - start_ < 1.0 || now - last_ < 0.1) return;
        last_ = now;
        const int width = 40;
        const int filled = total ? static_cast<int>(double(done) / double(total) * width) : width;
        std::string bar(static_cast<size_t>(filled), '=');
        bar.resize(width, ' ');
        std::fprintf(stderr, "\r[%s] %3d%%  line %u ", bar.c_str(), total ? int(100.0 * double(done) / double(total)) : 100,
                     line);
        std::fflush(stderr);
        shown_ = true;
    }
    void finish() {
        if (shown_) std::fprintf(stderr, "\r%70s\r", "");
        shown_ = false;
    }

private:
    bool enabled_, shown_ = false;
    double start_, last_ = 0;
};

int runSvf(const Invocation& inv) {
    bool keepGoing = false, quiet = false;
    std::string file;
    for (const std::string& a : inv.args) {
        if (a == "--keep-going") keepGoing = true;
        else if (a == "--quiet" || a == "-q") quiet = true;
        else if (!a.empty() && a[0] == '-' && a != "-") {
            errorLine("svf: unknown option " + a + " (dorvane svf --help)");
            return kExitUsage;
        } else if (file.empty()) {
            file = a;
        } else {
            errorLine("svf: one file at a time");
            return kExitUsage;
        }
    }
    if (file.empty()) {
        errorLine("svf: which file? (dorvane svf --help)");
        return kExitUsage;
    }

    std::string text;
    {
        std::ifstream in;
        if (file != "-") in.open(file, std::ios::binary);
        if (file != "-" && !in) {
            errorLine("svf: cannot read " + file);
            return kExitInput;
        }
        std::ostringstream buffer;
        buffer << (file == "-" ? std::cin.rdbuf() : in.rdbuf());
        text = buffer.str();
    }
    svf::Program program;
    svf::ParseError error;
    if (!svf::parse(text, &program, &error)) {
        std::fprintf(stderr, "%s:%u:%u: error: %s (nothing was sent)\n", file.c_str(), error.line, error.column,
                     error.message.c_str());
        return kExitInput;
    }
    text.clear();
    text.shrink_to_fit();

    Controller controller;
    if (int status = controller.open(inv)) return status;
    ProgressBar bar(!quiet && stderrIsTerminal());
    svf::PlayOptions options;
    options.keepGoing = keepGoing;
    options.khzCap = static_cast<uint32_t>(inv.khz);
    options.progress = [&](uint64_t done, uint64_t total, uint32_t line) { bar.update(done, total, line); };
    options.report = [&](const std::string& message) {
        bar.finish();
        std::fprintf(stderr, "%s: %s\n", file.c_str(), message.c_str());
    };
    const double start = secondsNow();
    const svf::PlayResult result = svf::play(controller.handle(), program, options);
    bar.finish();
    if (int status = controller.close(); status && result.status == kExitOk) return status;
    if (!quiet && result.status != kExitController) {
        std::printf("%s: %zu statements, %llu bits scanned, %llu TDO checks, ", file.c_str(), program.statements.size(),
                    static_cast<unsigned long long>(result.bitsScanned),
                    static_cast<unsigned long long>(result.compares));
        if (result.mismatches)
            std::printf("%llu mismatch%s (first at line %u)", static_cast<unsigned long long>(result.mismatches),
                        result.mismatches == 1 ? "" : "es", result.firstMismatchLine);
        else
            std::printf("no mismatch");
        std::printf(" in %.2f s\n", secondsNow() - start);
    }
    return result.status;
}

}  // namespace

DORVANE_TOOL_COMMAND(kSvfCommand) = {
    "svf", "play a Serial Vector Format file, checking TDO",
    "dorvane [OPTIONS] svf [--keep-going] [--quiet] FILE\n"
    "\n"
    "Reads the whole file first (a syntax error names its line and column and nothing is sent),\n"
    "resets the TAP through TMS, then plays the statements: SIR, SDR, HIR, HDR, TIR, TDR, ENDIR,\n"
    "ENDDR, STATE, RUNTEST, FREQUENCY, TRST (PIO and PIOMAP are refused). FILE - reads stdin.\n"
    "  --keep-going      count TDO mismatches instead of stopping at the first\n"
    "  -q, --quiet       no progress bar and no summary line\n"
    "With --khz, FREQUENCY statements never set more than that frequency.\n"
    "\n"
    "exit status: 0 played without mismatch, 1 TDO mismatch, 2 bad command line,\n"
    "             3 file unreadable or invalid (nothing sent), 4 the library reported a failure\n\n",
    runSvf};

}  // namespace dorvane::tools
