// Controller address strings.
#include <gtest/gtest.h>

#include <string>

#include "api/errors.h"
#include "config/config.h"
#include "dorvane/dorvane.h"

using namespace dorvane;

namespace {

// The record's description pointers may point into the record itself: keep it in place.
struct Parsed {
    uint32_t result = 0;
    KpxControllerSpec spec{};
    uint32_t run(const std::string& address) {
        spec = KpxControllerSpec{};
        recordError(nullptr, 0);
        result = parseControllerAddress(&spec, address.c_str());
        return result;
    }
};

uint32_t parse(const std::string& address) { return Parsed().run(address); }

std::string text(const char* s) { return s ? s : "(null)"; }

constexpr uint32_t kDefaults = SPEC_DEFAULT_DESCRIPTION | SPEC_CHANNEL_A;

TEST(Address, UsbAloneOrWithANumberSelectsALogicalUnitWithTheDefaultDescriptions) {
    for (const char* address : {"usb", "USB", "USB0", "uSb0", "USB000"}) {
        Parsed p;
        p.run(address);
        ASSERT_EQ(p.result, 0u) << address;
        EXPECT_EQ(p.spec.flags, SPEC_BY_LOGICAL_UNIT | kDefaults) << address;
        EXPECT_EQ(p.spec.logicalUnitNumber, 0u) << address;
        EXPECT_EQ(text(p.spec.descriptionA), "Dual RS232 A") << address;
        EXPECT_EQ(text(p.spec.descriptionBase), "Dual RS232") << address;
        EXPECT_EQ(p.spec.descriptionB, nullptr) << address;
    }
    Parsed p;
    p.run("USB7");
    ASSERT_EQ(p.result, 0u);
    EXPECT_EQ(p.spec.logicalUnitNumber, 7u);
}

TEST(Address, ADescriptionAfterTheNumberIsTakenAsWrittenBlanksIncluded) {
    Parsed p;
    p.run("USB2,My Board");
    ASSERT_EQ(p.result, 0u);
    EXPECT_EQ(p.spec.flags, SPEC_BY_LOGICAL_UNIT | SPEC_CHANNEL_A);
    EXPECT_EQ(p.spec.logicalUnitNumber, 2u);
    EXPECT_EQ(text(p.spec.descriptionBase), "My Board");
    EXPECT_EQ(text(p.spec.descriptionA), "My Board A");

    p.run("usb12, Pod, rev 2 ");
    ASSERT_EQ(p.result, 0u);
    EXPECT_EQ(p.spec.logicalUnitNumber, 12u);
    EXPECT_EQ(text(p.spec.descriptionBase), " Pod, rev 2 ");
    EXPECT_EQ(text(p.spec.descriptionA), " Pod, rev 2  A");
}

TEST(Address, DescriptionsUpTo127CharactersAreAccepted) {
    std::string longest(127, 'd');
    Parsed p;
    p.run("USB1," + longest);
    ASSERT_EQ(p.result, 0u);
    EXPECT_EQ(text(p.spec.descriptionBase), longest);
    EXPECT_EQ(parse("USB1," + longest + "x"), 1u);
    EXPECT_EQ(globalLastError(), 30001u);
}

TEST(Address, BadLogicalUnitNumbersAndMissingDescriptionsFail) {
    for (const char* address : {"USB2,", "USB2x", "USB2 3", "USB-1", "USB4294967296", "USBx,Pod", "", "US", "usbq"}) {
        Parsed p;
        p.run(address);
        EXPECT_EQ(p.result, 1u) << address;
        // The quoted-form attempt comes last, so its error is the one left readable.
        EXPECT_EQ(globalLastError(), 30001u) << address;
        EXPECT_EQ(x_kpxErrorNbr(0), 316) << address;
        EXPECT_STREQ(x_kpxErrorMsg(0), "invalid controller interface specification") << address;
    }
    // A number part of 32 characters runs past the 31 the grammar allows.
    EXPECT_EQ(parse("USB" + std::string(32, '1') + ",Pod"), 1u);
    Parsed big;
    big.run("USB4294967295");
    EXPECT_EQ(big.result, 0u);
    EXPECT_EQ(big.spec.logicalUnitNumber, 4294967295u);
}

TEST(Address, UnquotedSerialNumbersGetTheChannelLetter) {
    Parsed p;
    p.run("USBS12345678");
    ASSERT_EQ(p.result, 0u);
    EXPECT_EQ(p.spec.flags, kDefaults);
    EXPECT_EQ(text(p.spec.serial), "12345678");
    EXPECT_EQ(text(p.spec.serialA), "12345678A");
    EXPECT_EQ(text(p.spec.descriptionA), "Dual RS232 A");

    p.run("usbsFT4XY7,Pod");
    ASSERT_EQ(p.result, 0u);
    EXPECT_EQ(p.spec.flags, SPEC_CHANNEL_A);
    EXPECT_EQ(text(p.spec.serialA), "FT4XY7A");
    EXPECT_EQ(text(p.spec.descriptionA), "Pod A");
    EXPECT_EQ(text(p.spec.descriptionBase), "Pod");

    std::string serial31(31, 'S');
    p.run("USBS" + serial31);
    ASSERT_EQ(p.result, 0u);
    EXPECT_EQ(text(p.spec.serialA), serial31 + "A");
    EXPECT_EQ(parse("USBS" + serial31 + "T,Pod"), 1u);
    EXPECT_EQ(globalLastError(), 30001u);
}

TEST(Address, QuotedSerialNumbersMayHoldCommas) {
    Parsed p;
    p.run("USBS\"A,B\",Pod");
    ASSERT_EQ(p.result, 0u);
    EXPECT_EQ(p.spec.flags, SPEC_CHANNEL_A);
    EXPECT_EQ(text(p.spec.serial), "A,B");
    EXPECT_EQ(text(p.spec.serialA), "A,BA");
    EXPECT_EQ(text(p.spec.descriptionA), "Pod A");
    EXPECT_EQ(text(p.spec.descriptionBase), "Pod");

    p.run("usbs\"123456789012345\"");
    ASSERT_EQ(p.result, 0u);
    EXPECT_EQ(p.spec.flags, kDefaults);
    EXPECT_EQ(text(p.spec.serialA), "123456789012345A");
    EXPECT_EQ(text(p.spec.descriptionBase), "Dual RS232");

    std::string longest(97, 'q');
    p.run("USBS\"X\"," + longest);
    ASSERT_EQ(p.result, 0u);
    EXPECT_EQ(text(p.spec.descriptionBase), longest);
    EXPECT_EQ(parse("USBS\"X\"," + longest + "q"), 1u);
    EXPECT_EQ(globalLastError(), 30001u);
}

TEST(Address, QuotedSerialNumberErrors) {
    struct Case { const char* address; uint32_t code; };
    const Case cases[] = {
        {"USBS\"1234567890123456\",Pod", 30008},   // the 16th character stands where the quote belongs
        {"USBS\"ABC\"X,Pod", 30007},
        {"USBS\"ABC", 30001},
        {"USBS\"ABC\",", 30001},
        {"USBS\"\"", 30001},
        {"USB\"ABC\"", 30002},
        {"usbb\"ABC\",Pod", 30002},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse(c.address), 1u) << c.address;
        EXPECT_EQ(globalLastError(), c.code) << c.address;
    }
    EXPECT_STREQ(findError(30008).message, "controller serial number has no terminating double quote");
}

TEST(Address, KcfNamesCannotBeFollowedByAComma) {
    EXPECT_EQ(parse("USBFboard,x"), 1u);
    EXPECT_EQ(globalLastError(), 30001u);
}

TEST(Address, NullArgumentsAreRefused) {
    KpxControllerSpec spec{};
    EXPECT_EQ(parseControllerAddress(&spec, nullptr), 1u);
    EXPECT_EQ(globalLastError(), 4002u);
}

}  // namespace
