// The keypad's calculator: entry, arithmetic, the answer and its bounds.
#include <gtest/gtest.h>

#include <string>

#include "numpad/NumpadCalc.h"

namespace {

// Keys by their labels: digits, ". / * - + = < (backspace) C I (Ins.) O (Off)".
CNumpadCalc::Action Type(CNumpadCalc& c, const std::string& keys) {
    CNumpadCalc::Action last = CNumpadCalc::None;
    for (char k : keys) {
        int key = k >= '0' && k <= '9' ? k - '0'
                  : k == '.'           ? NPK_POINT
                  : k == '/'           ? NPK_DIVIDE
                  : k == '*'           ? NPK_MULTIPLY
                  : k == '-'           ? NPK_SUBTRACT
                  : k == '+'           ? NPK_ADD
                  : k == '='           ? NPK_EQUALS
                  : k == '<'           ? NPK_BACK
                  : k == 'C'           ? NPK_CLEAR
                  : k == 'I'           ? NPK_INSERT
                                       : NPK_OFF;
        last = c.Press(key);
    }
    return last;
}

std::string Shown(const CNumpadCalc& c) { return c.DisplayText(); }

TEST(NumpadCalcTest, TypesComputesAndAnswersInTenths) {
    CNumpadCalc c;
    EXPECT_EQ(Type(c, "12.5"), CNumpadCalc::Redraw);
    EXPECT_EQ(Shown(c), "12.5");
    EXPECT_EQ(Type(c, "I"), CNumpadCalc::Insert);
    EXPECT_EQ(c.GetAnswer(), 125u);

    CNumpadCalc d;
    Type(d, "1234567890123456");
    EXPECT_EQ(Shown(d), "123456789012345");  // the 16th digit is ignored
    d.Clear();
    Type(d, "7/2=");
    EXPECT_EQ(Shown(d), "3.5");
    Type(d, "C9=");
    EXPECT_EQ(Type(d, "I"), CNumpadCalc::Insert);
    EXPECT_EQ(d.GetAnswer(), 90u);
    d.Clear();
    Type(d, "1.2.3");
    EXPECT_EQ(Shown(d), "1.23");
    d.Clear();
    Type(d, "1/3=");
    EXPECT_EQ(Shown(d), "0.33333333");
    EXPECT_EQ(Type(d, "O"), CNumpadCalc::Off);
}

TEST(NumpadCalcTest, AnswersAreRoundedBoundedAndIncludeThePendingOperation) {
    CNumpadCalc c;
    // 0.9999999... tenths rounds to 1, not 0.
    EXPECT_EQ(Type(c, "1-0.9I"), CNumpadCalc::Insert);
    EXPECT_EQ(c.GetAnswer(), 1u);
    // Ins. applies the pending addition: the value shown is the one sent.
    c.Clear();
    EXPECT_EQ(Type(c, "1+2I"), CNumpadCalc::Insert);
    EXPECT_EQ(c.GetAnswer(), 30u);
    c.Clear();
    EXPECT_EQ(Type(c, "6553.5I"), CNumpadCalc::Insert);
    EXPECT_EQ(c.GetAnswer(), 65535u);
    // Out of the 16 bits of tenths, or negative: nothing is sent, the display shows the error.
    for (const char* keys : {"7000I", "1-5I", "6553.6I"}) {
        c.Clear();
        EXPECT_EQ(Type(c, keys), CNumpadCalc::Redraw) << keys;
        EXPECT_EQ(Shown(c), "Error") << keys;
    }
    c.Clear();
    Type(c, "1-5=");
    EXPECT_EQ(Shown(c), "-4");
}

TEST(NumpadCalcTest, ValuesThatDoNotFitShowTheErrorAndEntryStaysBounded) {
    CNumpadCalc c;
    Type(c, "5/0=");
    EXPECT_EQ(Shown(c), "Error");
    EXPECT_EQ(c.GetEntryLength(), 0);
    Type(c, "999999999999999*999999999999999=");
    EXPECT_EQ(Shown(c), "Error");
    Type(c, "C123456789.123456789=");
    EXPECT_LE(c.GetEntryLength(), NP_MAX_DIGITS + 2);
    EXPECT_EQ(Shown(c), "123456789.12345");
    // Deleting the point allows a point again.
    c.Clear();
    Type(c, "1.5<<.7");
    EXPECT_EQ(Shown(c), "1.7");
    Type(c, "<<<");
    EXPECT_EQ(Shown(c), "0");
}

}  // namespace
