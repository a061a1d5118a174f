// The tool's chain code, compiled into this test program, which is built also where the tool
// itself is not (the sanitizer presets leave the tools out).
#include "../../tools/chain.cpp"
