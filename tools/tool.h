// The dorvane tool's shared pieces: the command table, the options every command takes,
// opening a controller, and error reports that quote the library's own number and message.
//
// A command lives in its own file tools/cmd_<name>.cpp, defines a Command with
// DORVANE_TOOL_COMMAND and is registered by one line in tools/commands.inc.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dorvane::tools {

// Exit statuses of every command.
enum Exit : int {
    kExitOk = 0,
    kExitCheckFailed = 1,   // the run completed its checks and one failed (a TDO mismatch)
    kExitUsage = 2,         // bad command line
    kExitInput = 3,         // an input file is unreadable or invalid; nothing was sent
    kExitController = 4,    // the library reported a failure
};

// A command line, split into the options every command shares and the command's own arguments.
struct Invocation {
    std::string command;
    std::vector<std::string> args;   // the command's own arguments, in order
    std::string address = "USB";
    bool addressGiven = false;       // --address was on the command line
    std::string vcd;
    bool vpod = false;
    bool help = false;
    int khz = 0;                     // 0: the controller's default
};

struct Command {
    const char* name;
    const char* summary;   // one line for `dorvane --help`
    const char* usage;     // the command's --help text: its synopsis line first
    int (*run)(const Invocation&);
};

#define DORVANE_TOOL_COMMAND(var) extern const ::dorvane::tools::Command var; const ::dorvane::tools::Command var

// The options every command takes, for the help texts.
extern const char* const kCommonOptionsHelp;

// Prints "dorvane: <text>" on stderr.
void errorLine(const std::string& text);
// "error N (message)" of the last failure on the handle, or the process's when the handle is none.
std::string libraryError(uint32_t handle);

constexpr uint32_t kNoHandle = 0xFFFFFFFFu;

// A controller opened for a command (driver and waveform variables set first); closed on destruction.
class Controller {
public:
    Controller() = default;
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;
    ~Controller() { close(); }
    // kExitOk, or an exit status after printing the reason.
    int open(const Invocation& inv);
    // Closes; an exit status after printing the reason when the close fails.
    int close();
    uint32_t handle() const { return handle_; }

private:
    uint32_t handle_ = kNoHandle;
};

// From the controller information record; 0 / false when the handle is not open.
uint32_t tckKHzOf(uint32_t handle);
uint32_t maxTckKHzOf(uint32_t handle);
bool hasTrstPin(uint32_t handle);

// Environment and terminal, the few host services the tool needs itself.
void setVariable(const char* name, const char* value);
bool stderrIsTerminal();
// Seconds from an arbitrary start, monotonic.
double secondsNow();

// A JSON string literal of the text (quotes included).
std::string jsonString(const std::string& text);

// Strict number parsing for options.
bool parseInt(const std::string& text, long long lo, long long hi, long long* out);

}  // namespace dorvane::tools
