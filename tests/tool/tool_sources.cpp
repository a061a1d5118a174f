// The tool's code, compiled into this test program, which is built also where the tool itself
// is not (the sanitizer presets leave the tools out). The dispatcher (dorvane.cpp) stays out.
#include "../../tools/chain.cpp"
#include "../../tools/cmd_svf.cpp"
#include "../../tools/jep106.cpp"
#include "../../tools/svf_parser.cpp"
#include "../../tools/svf_player.cpp"
#include "../../tools/tool.cpp"
#include "../../tools/cmd_list.cpp"
