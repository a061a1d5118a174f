// dorvane: the command-line tool. Splits the command line into the options every command
// shares and the command's own arguments, and runs the command from the table.
//
//   dorvane [--vpod] [--address ADDR] [--khz F] [--vcd FILE] COMMAND [ARGS...]
#include <cstdio>
#include <string>

#include "tool.h"

namespace dorvane::tools {
#define DORVANE_COMMAND(var) extern const Command var;
#include "commands.inc"
#undef DORVANE_COMMAND
}  // namespace dorvane::tools

namespace {

using namespace dorvane::tools;

const Command* const kCommands[] = {
#define DORVANE_COMMAND(var) &var,
#include "commands.inc"
#undef DORVANE_COMMAND
};

void usage(FILE* to) {
    std::fprintf(to, "usage: dorvane [OPTIONS] COMMAND [ARGS...]\n\ncommands:\n");
    for (const Command* c : kCommands) std::fprintf(to, "  %-10s %s\n", c->name, c->summary);
    std::fprintf(to, "\n%s\n`dorvane COMMAND --help` describes a command.\n", kCommonOptionsHelp);
}

const Command* find(const std::string& name) {
    for (const Command* c : kCommands)
        if (name == c->name) return c;
    return nullptr;
}

// Takes a value from "--opt VALUE" or "--opt=VALUE"; false when it is missing.
bool optionValue(const std::string& arg, const char* name, int argc, char** argv, int* i, std::string* value,
                 bool* matched) {
    const std::string n = name;
    *matched = false;
    if (arg == n) {
        *matched = true;
        if (*i + 1 >= argc) return false;
        *value = argv[++*i];
        return true;
    }
    if (arg.compare(0, n.size() + 1, n + "=") == 0) {
        *matched = true;
        *value = arg.substr(n.size() + 1);
        return true;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Invocation inv;
    bool onlyArgs = false;   // after "--" everything is the command's
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (onlyArgs) { inv.args.push_back(a); continue; }
        if (a == "--" && !inv.command.empty()) { onlyArgs = true; continue; }
        std::string value;
        bool matched = false;
        bool ok = true;
        if (a == "--vpod") { inv.vpod = true; continue; }
        if (a == "-h" || a == "--help") { inv.help = true; continue; }
        if ((ok = optionValue(a, "--address", argc, argv, &i, &value, &matched)) && matched) {
            inv.address = value;
            inv.addressGiven = true;
            continue;
        }
        if (ok && (ok = optionValue(a, "--vcd", argc, argv, &i, &value, &matched)) && matched) {
            inv.vcd = value;
            continue;
        }
        if (ok && (ok = optionValue(a, "--khz", argc, argv, &i, &value, &matched)) && matched) {
            long long khz = 0;
            if (!parseInt(value, 1, 1000000, &khz)) {
                errorLine("--khz wants a frequency in kHz from 1 to 1000000, not '" + value + "'");
                return kExitUsage;
            }
            inv.khz = static_cast<int>(khz);
            continue;
        }
        if (!ok) {
            errorLine(a + " needs a value");
            return kExitUsage;
        }
        // Anything else belongs to the command, also when it comes before the command's name.
        if (inv.command.empty() && !a.empty() && a[0] != '-') inv.command = a;
        else inv.args.push_back(a);
    }
    if (inv.command.empty() && !inv.args.empty()) {
        errorLine("unknown option " + inv.args.front() + " (dorvane --help lists the options)");
        return kExitUsage;
    }
    if (inv.command.empty()) {
        usage(inv.help ? stdout : stderr);
        return inv.help ? kExitOk : kExitUsage;
    }
    const Command* command = find(inv.command);
    if (!command) {
        errorLine("unknown command '" + inv.command + "' (dorvane --help lists the commands)");
        return kExitUsage;
    }
    if (inv.help) {
        std::printf("usage: %s\n%s", command->usage, kCommonOptionsHelp);
        return kExitOk;
    }
    return command->run(inv);
}
