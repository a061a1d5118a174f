// The tool's swd command, compiled into this test program (the sanitizer presets build no tools).
#include "../../tools/cmd_swd.cpp"
#include "../../tools/tool.cpp"
