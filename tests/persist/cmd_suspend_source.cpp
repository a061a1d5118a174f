// The tool's suspend and resume commands, compiled into this test program (the sanitizer
// presets build no tools).
#include "../../tools/cmd_suspend.cpp"
#include "../../tools/tool.cpp"
