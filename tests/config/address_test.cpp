// Controller address strings: the logical unit or serial number they select, their
// descriptions, and the error each bad form fails with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "core/errors.h"

using namespace dorvane;

namespace {

std::string text(const char* s) { return s ? s : "(null)"; }

// The A description is the base one with " A" added; an address string forms no B description.
TEST(Address, GoodAddressesSelectALogicalUnitOrASerialNumberWithTheirDescriptions) {
    struct Case { std::string address; uint32_t flags, logicalUnit; std::string serial, description; };
    constexpr uint32_t kDefaults = ADDRESS_DEFAULT_DESCRIPTION | ADDRESS_CHANNEL_A;
    constexpr uint32_t kByUnit = ADDRESS_BY_LOGICAL_UNIT;
    const std::string dual = "Dual RS232", d127(127, 'd'), s31(31, 'S'), q97(97, 'q');
    const std::vector<Case> cases = {
        {"USB", kByUnit | kDefaults, 0, "", dual},
        {"uSb0", kByUnit | kDefaults, 0, "", dual},
        {"USB000", kByUnit | kDefaults, 0, "", dual},
        {"USB7", kByUnit | kDefaults, 7, "", dual},
        {"USB4294967295", kByUnit | kDefaults, 4294967295u, "", dual},
        // A description after the number is taken as written, blanks included.
        {"USB2,My Board", kByUnit | ADDRESS_CHANNEL_A, 2, "", "My Board"},
        {"usb12, Pod, rev 2 ", kByUnit | ADDRESS_CHANNEL_A, 12, "", " Pod, rev 2 "},
        {"USB1," + d127, kByUnit | ADDRESS_CHANNEL_A, 1, "", d127},
        // Serial numbers get the channel letter; quoted ones may hold commas.
        {"USBS12345678", kDefaults, 0, "12345678", dual},
        {"usbsFT4XY7,Pod", ADDRESS_CHANNEL_A, 0, "FT4XY7", "Pod"},
        {"USBS" + s31, kDefaults, 0, s31, dual},
        {"USBS\"A,B\",Pod", ADDRESS_CHANNEL_A, 0, "A,B", "Pod"},
        {"usbs\"123456789012345\"", kDefaults, 0, "123456789012345", dual},
        {"USBS\"X\"," + q97, ADDRESS_CHANNEL_A, 0, "X", q97},
    };
    for (const Case& c : cases) {
        ControllerAddress addr{};   // the description pointers may point into the record itself
        ASSERT_EQ(parseControllerAddress(&addr, c.address.c_str()), 0u) << c.address;
        EXPECT_EQ(addr.flags, c.flags) << c.address;
        if (c.serial.empty()) {
            EXPECT_EQ(addr.logicalUnitNumber, c.logicalUnit) << c.address;
        } else {
            EXPECT_EQ(text(addr.serial), c.serial) << c.address;
            EXPECT_EQ(text(addr.serialA), c.serial + "A") << c.address;
        }
        EXPECT_EQ(text(addr.descriptionBase), c.description) << c.address;
        if (c.description.size() + 2 < sizeof addr.descriptionABuffer) {   // else cut to the buffer
            EXPECT_EQ(text(addr.descriptionA), c.description + " A") << c.address;
        }
        EXPECT_EQ(addr.descriptionB, nullptr) << c.address;
    }
}

TEST(Address, BadAddressesFailWithTheirOwnErrors) {
    struct Case { std::string address; uint32_t code; };
    std::vector<Case> cases = {
        {"USB1," + std::string(128, 'd'), err::ADDR_INVALID},
        {"USB" + std::string(32, '1') + ",Pod", err::ADDR_INVALID},   // the number part allows 31 characters
        {"USBS" + std::string(32, 'S') + ",Pod", err::ADDR_INVALID},
        {"USBS\"X\"," + std::string(98, 'q'), err::ADDR_INVALID},
        // The 16th character stands where the quote belongs.
        {"USBS\"1234567890123456\",Pod", err::ADDR_SERIAL_QUOTE},
        {"USBS\"ABC\"X,Pod", err::ADDR_SERIAL_COMMA},
        {"USBS\"ABC", err::ADDR_INVALID},
        {"USBS\"ABC\",", err::ADDR_INVALID},
        {"USBS\"\"", err::ADDR_INVALID},
        {"USB\"ABC\"", err::ADDR_TYPE},
        {"usbb\"ABC\",Pod", err::ADDR_TYPE},
        {"USBFboard,x", err::ADDR_INVALID},   // KCF names cannot be followed by a comma
    };
    // The quoted-form attempt comes last, so its error is the one left readable.
    for (const char* address : {"USB2,", "USB2x", "USB2 3", "USB-1", "USB4294967296", "USBx,Pod", "", "US", "usbq"})
        cases.push_back({address, err::ADDR_INVALID});
    for (const Case& c : cases) {
        ControllerAddress addr{};
        recordError(nullptr, 0);
        EXPECT_EQ(parseControllerAddress(&addr, c.address.c_str()), 1u) << c.address;
        EXPECT_EQ(globalLastError(), c.code) << c.address;
    }
    ControllerAddress addr{};
    EXPECT_EQ(parseControllerAddress(&addr, nullptr), 1u);
    EXPECT_EQ(globalLastError(), err::NULL_POINTER);
}

}  // namespace
