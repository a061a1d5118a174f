// The tool's chain and list code, compiled into this test program, which is built also where the tool
// itself is not (the sanitizer presets leave the tools out).
#include "../../tools/chain.cpp"
#include "../../tools/cmd_list.cpp"
