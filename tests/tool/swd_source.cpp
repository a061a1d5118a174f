// The tool's swd command, compiled into this test program (see chain_source.cpp).
#include "../../tools/cmd_swd.cpp"
