// The numbers the window reads from text: the port box and the echoed tick
// count of a "PONG".
#include "window/box_numbers.h"

#include <gtest/gtest.h>

#include <climits>

namespace tessary {
namespace {

TEST(Numbers, PortTextReadAsNumberRoundedHalvesToEven) {
    EXPECT_EQ(PortNumber("105"), 105);
    EXPECT_EQ(PortNumber("1 05"), 105);
    EXPECT_EQ(PortNumber("105 "), 105);
    EXPECT_EQ(PortNumber("\t1\n05"), 105);
    EXPECT_EQ(PortNumber("80.5"), 80);
    EXPECT_EQ(PortNumber("81.5"), 82);
    EXPECT_EQ(PortNumber("80x"), 80);
    EXPECT_EQ(PortNumber(""), 0);
    EXPECT_EQ(PortNumber("x80"), 0);
    EXPECT_EQ(PortNumber("-3"), -3);
    EXPECT_EQ(PortNumber("1e3"), 1000);
    EXPECT_EQ(PortNumber("1D2"), 100);
    EXPECT_EQ(PortNumber("12e"), 12);
    EXPECT_EQ(PortNumber(".5e1"), 5);
    EXPECT_EQ(PortNumber("99999999999"), 99999999999);
    EXPECT_GE(PortNumber("1e999"), 9007199254740992);
}

TEST(Numbers, RoundTripIsTheWrappedDifference) {
    EXPECT_EQ(RoundTripMs(1015, LeadingNumber("1000")), 15);
    EXPECT_EQ(RoundTripMs(1000, LeadingNumber("  1000")), 0);
    EXPECT_EQ(RoundTripMs(1234, LeadingNumber("not a number")), 1234);
    EXPECT_EQ(RoundTripMs(116, LeadingNumber("100.5")), 16);  // 15.5: halves to even
    EXPECT_EQ(RoundTripMs(115, LeadingNumber("100.5")), 14);  // 14.5
    // The counter passed its highest value between ping and pong.
    EXPECT_EQ(RoundTripMs(INT_MIN + 5, LeadingNumber("2147483637")), 16);
    EXPECT_EQ(RoundTripMs(-100, LeadingNumber("-110")), 10);
    // A difference beyond every counter: 1e300 is a multiple of 2^32, so it wraps to 0.
    EXPECT_EQ(RoundTripMs(5, LeadingNumber("1e300")), 0);
    EXPECT_EQ(RoundTripMs(5, LeadingNumber("-1e300")), 0);
}

}  // namespace
}  // namespace tessary
