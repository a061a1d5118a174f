// Compile-time checks of the binary interface that hosts rely on.
#include <cstddef>

#include "dorvane/dorvane.h"

namespace dorvane::api {
namespace {

using Info = DorvaneControllerInfo;
constexpr bool kWords32 = sizeof(void*) == 4;

// On 32-bit builds the controller information record is 37 words at fixed offsets.
#define DORVANE_AT(field, offset) static_assert(!kWords32 || offsetof(Info, field) == (offset), #field " moved")
DORVANE_AT(identification, 0);
DORVANE_AT(word4, 4);
DORVANE_AT(word8, 8);
DORVANE_AT(controllerType, 12);
DORVANE_AT(maxTckKHz, 16);
DORVANE_AT(word20, 20);
DORVANE_AT(words24, 24);
DORVANE_AT(podTapType, 48);
DORVANE_AT(word52, 52);
DORVANE_AT(pair56, 56);
DORVANE_AT(pair60, 60);
DORVANE_AT(pair64, 64);
DORVANE_AT(value68, 68);
DORVANE_AT(tckKHz, 72);
DORVANE_AT(word76, 76);
DORVANE_AT(capabilities, 80);
DORVANE_AT(serialNumber, 84);
DORVANE_AT(words88, 88);
DORVANE_AT(word100, 100);
DORVANE_AT(pair104, 104);
DORVANE_AT(pair108, 108);
DORVANE_AT(pair112, 112);
DORVANE_AT(pair116, 116);
DORVANE_AT(value120, 120);
DORVANE_AT(pair124, 124);
DORVANE_AT(pair128, 128);
DORVANE_AT(pair132, 132);
DORVANE_AT(value136, 136);
DORVANE_AT(pair140, 140);
DORVANE_AT(word144, 144);
#undef DORVANE_AT
static_assert(!kWords32 || sizeof(Info) == 37 * 4, "the record is 37 words");

// On 64-bit builds the pointer slots widen but keep their order.
static_assert(offsetof(Info, pair56) < offsetof(Info, value68) && offsetof(Info, value68) < offsetof(Info, tckKHz) &&
                  offsetof(Info, serialNumber) < offsetof(Info, words88) &&
                  offsetof(Info, pair140) < offsetof(Info, word144),
              "fields keep their order");

}  // namespace
}  // namespace dorvane::api
