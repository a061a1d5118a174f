// Controller address strings.
#include <gtest/gtest.h>

#include <string>

#include "core/errors.h"
#include "config/config.h"
#include "dorvane/dorvane.h"

using namespace dorvane;

namespace {

// The record's description pointers may point into the record itself: keep it in place.
struct Parsed {
    uint32_t result = 0;
    ControllerAddress addr{};
    uint32_t run(const std::string& address) {
        addr = ControllerAddress{};
        recordError(nullptr, 0);
        result = parseControllerAddress(&addr, address.c_str());
        return result;
    }
};

uint32_t parse(const std::string& address) { return Parsed().run(address); }

std::string text(const char* s) { return s ? s : "(null)"; }

constexpr uint32_t kDefaults = ADDRESS_DEFAULT_DESCRIPTION | ADDRESS_CHANNEL_A;

TEST(Address, UsbAloneOrWithANumberSelectsALogicalUnitWithTheDefaultDescriptions) {
    for (const char* address : {"usb", "USB", "USB0", "uSb0", "USB000"}) {
        Parsed p;
        p.run(address);
        ASSERT_EQ(p.result, 0u) << address;
        EXPECT_EQ(p.addr.flags, ADDRESS_BY_LOGICAL_UNIT | kDefaults) << address;
        EXPECT_EQ(p.addr.logicalUnitNumber, 0u) << address;
        EXPECT_EQ(text(p.addr.descriptionA), "Dual RS232 A") << address;
        EXPECT_EQ(text(p.addr.descriptionBase), "Dual RS232") << address;
        EXPECT_EQ(p.addr.descriptionB, nullptr) << address;
    }
    for (uint32_t lun : {7u, 4294967295u}) {
        Parsed p;
        ASSERT_EQ(p.run("USB" + std::to_string(lun)), 0u);
        EXPECT_EQ(p.addr.logicalUnitNumber, lun);
    }
}

TEST(Address, ADescriptionAfterTheNumberIsTakenAsWrittenBlanksIncluded) {
    Parsed p;
    p.run("USB2,My Board");
    ASSERT_EQ(p.result, 0u);
    EXPECT_EQ(p.addr.flags, ADDRESS_BY_LOGICAL_UNIT | ADDRESS_CHANNEL_A);
    EXPECT_EQ(p.addr.logicalUnitNumber, 2u);
    EXPECT_EQ(text(p.addr.descriptionBase), "My Board");
    EXPECT_EQ(text(p.addr.descriptionA), "My Board A");

    p.run("usb12, Pod, rev 2 ");
    ASSERT_EQ(p.result, 0u);
    EXPECT_EQ(p.addr.logicalUnitNumber, 12u);
    EXPECT_EQ(text(p.addr.descriptionBase), " Pod, rev 2 ");
    EXPECT_EQ(text(p.addr.descriptionA), " Pod, rev 2  A");

    std::string longest(127, 'd');
    ASSERT_EQ(p.run("USB1," + longest), 0u);
    EXPECT_EQ(text(p.addr.descriptionBase), longest);
    EXPECT_EQ(parse("USB1," + longest + "x"), 1u);
    EXPECT_EQ(globalLastError(), err::ADDR_INVALID);
}

TEST(Address, BadAddressesFailWithTheirOwnErrors) {
    // The quoted-form attempt comes last, so its error is the one left readable.
    for (const char* address : {"USB2,", "USB2x", "USB2 3", "USB-1", "USB4294967296", "USBx,Pod", "", "US", "usbq"}) {
        EXPECT_EQ(parse(address), 1u) << address;
        EXPECT_EQ(globalLastError(), err::ADDR_INVALID) << address;
        EXPECT_EQ(x_kpxErrorNbr(0), 316) << address;
        EXPECT_STREQ(x_kpxErrorMsg(0), "invalid controller interface specification") << address;
    }
    struct Case { std::string address; uint32_t code; };
    const Case cases[] = {
        {"USB" + std::string(32, '1') + ",Pod", 30001},  // the number part allows 31 characters
        {"USBS" + std::string(32, 'S') + ",Pod", 30001},
        {"USBS\"X\"," + std::string(98, 'q'), 30001},
        {"USBS\"1234567890123456\",Pod", 30008},  // the 16th character stands where the quote belongs
        {"USBS\"ABC\"X,Pod", 30007},
        {"USBS\"ABC", 30001},
        {"USBS\"ABC\",", 30001},
        {"USBS\"\"", 30001},
        {"USB\"ABC\"", 30002},
        {"usbb\"ABC\",Pod", 30002},
        {"USBFboard,x", 30001},  // KCF names cannot be followed by a comma
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse(c.address), 1u) << c.address;
        EXPECT_EQ(globalLastError(), c.code) << c.address;
    }
    EXPECT_STREQ(findError(30008).message, "controller serial number has no terminating double quote");
    ControllerAddress addr{};
    EXPECT_EQ(parseControllerAddress(&addr, nullptr), 1u);
    EXPECT_EQ(globalLastError(), err::NULL_POINTER);
}

TEST(Address, SerialNumbersGetTheChannelLetter) {
    struct Case { std::string address; uint32_t flags; std::string serial, serialA, descriptionBase; };
    const std::string serial31(31, 'S'), description97(97, 'q');
    const Case cases[] = {
        {"USBS12345678", kDefaults, "12345678", "12345678A", "Dual RS232"},
        {"usbsFT4XY7,Pod", ADDRESS_CHANNEL_A, "FT4XY7", "FT4XY7A", "Pod"},
        {"USBS" + serial31, kDefaults, serial31, serial31 + "A", "Dual RS232"},
        // Quoted serial numbers may hold commas.
        {"USBS\"A,B\",Pod", ADDRESS_CHANNEL_A, "A,B", "A,BA", "Pod"},
        {"usbs\"123456789012345\"", kDefaults, "123456789012345", "123456789012345A", "Dual RS232"},
        {"USBS\"X\"," + description97, ADDRESS_CHANNEL_A, "X", "XA", description97},
    };
    for (const Case& c : cases) {
        Parsed p;
        ASSERT_EQ(p.run(c.address), 0u) << c.address;
        EXPECT_EQ(p.addr.flags, c.flags) << c.address;
        EXPECT_EQ(text(p.addr.serial), c.serial) << c.address;
        EXPECT_EQ(text(p.addr.serialA), c.serialA) << c.address;
        EXPECT_EQ(text(p.addr.descriptionBase), c.descriptionBase) << c.address;
        EXPECT_EQ(text(p.addr.descriptionA), c.descriptionBase + " A") << c.address;
    }
}

}  // namespace
