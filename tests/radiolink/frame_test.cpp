// The "$QRX," frame codec: outgoing frames, the request checks of both links and the line cut.
#include <gtest/gtest.h>

#include <string>

#include "radiolink/QrxFrame.h"

namespace {

using qrxframe::Outcome;

std::string Frame(const std::string& body) {
    char out[qrxframe::kFrameBuffer];
    size_t n = qrxframe::FormatFrame(body.data(), body.size(), out, sizeof out);
    return std::string(out, n);
}

qrxframe::Request Parse(const std::string& line, bool streaming = false, bool wired = false) {
    qrxframe::Rules rules;
    if (wired) rules = {true, 0};
    qrxframe::Request r;
    qrxframe::ParseLine(reinterpret_cast<const uint8_t*>(line.data()), line.size(), streaming, rules, r);
    return r;
}

TEST(QrxFrameTest, FormatsFramesWithinTheBuffer) {
    EXPECT_EQ("$QRX,B7,1,02\r\n", Frame("B7,1,"));
    char out[qrxframe::kFrameBuffer];
    EXPECT_EQ(16u, qrxframe::FormatError(501, out, sizeof out));
    EXPECT_STREQ("$QRX,ER,501,85\r\n", out);
    EXPECT_EQ("", Frame(""));
    EXPECT_EQ(511u, Frame(std::string(502, 'A')).size());
    EXPECT_EQ("", Frame(std::string(503, 'A')));
    // A buffer one byte short of frame and terminator is left alone.
    EXPECT_EQ(0u, qrxframe::FormatFrame("B7,1,", 5, out, 14));
}

TEST(QrxFrameTest, CodeTable) {
    EXPECT_EQ(1125u, qrxframe::MessageOfCode('B', '0'));
    EXPECT_EQ(1132u, qrxframe::MessageOfCode('B', '7'));
    EXPECT_EQ(0u, qrxframe::MessageOfCode('B', '8'));
    EXPECT_EQ(1141u, qrxframe::MessageOfCode('C', '6'));
    EXPECT_EQ(1148u, qrxframe::MessageOfCode('E', '3'));
    EXPECT_EQ(1154u, qrxframe::MessageOfCode('H', '9'));
    EXPECT_EQ(1155u, qrxframe::MessageOfCode('H', '0'));
    EXPECT_EQ(1166u, qrxframe::MessageOfCode('S', '2'));
    EXPECT_EQ(1167u, qrxframe::MessageOfCode('S', '1'));
    EXPECT_EQ(0u, qrxframe::MessageOfCode('X', '1'));
}

TEST(QrxFrameTest, ChecksAndCutsRequests) {
    auto r = Parse("$QRX,B7,A5\r\n");
    EXPECT_EQ(Outcome::Request, r.outcome);
    EXPECT_EQ(1132u, r.message);

    r = Parse("$QRX,B7,a5\r\n");  // lower-case digits are a bad sum
    EXPECT_EQ(Outcome::Error, r.outcome);
    EXPECT_EQ(501, r.error);
    r = Parse("$QRX,B7,A6\r\n");
    EXPECT_EQ(501, r.error);
    EXPECT_EQ(0xA6, r.sumReceived);
    EXPECT_EQ(0xA5, r.sumComputed);

    EXPECT_EQ(502, Parse(Frame("B8,")).error);
    EXPECT_EQ(502, Parse(Frame("X1,")).error);

    r = Parse(Frame("E0,12.5,"));
    EXPECT_EQ(qrxframe::Param::Field, r.kind);
    EXPECT_STREQ("12.5", r.field);
    EXPECT_STREQ("", Parse(Frame("E0,12.5")).field);  // no closing comma: empty, still sent
    EXPECT_EQ(Outcome::Request, Parse(Frame("E0,12.5")).outcome);

    // E3 runs to the LF: the columns, the sum and the CR.
    const std::string e3 = Frame("E3,1,0,014.4,010.0,01:30,1,1,");
    EXPECT_EQ(e3.substr(8, e3.size() - 9), Parse(e3).field);

    EXPECT_STREQ(std::string(99, '7').c_str(), Parse(Frame("S3," + std::string(99, '7') + ",")).field);
    r = Parse(Frame("S3," + std::string(100, '7') + ","));
    EXPECT_EQ(502, r.error);
    EXPECT_EQ(0u, r.message);
    r = Parse(Frame("E3," + std::string(100, '7')));
    EXPECT_EQ(502, r.error);

    EXPECT_EQ('3', Parse(Frame("B5,3,")).param);
    EXPECT_EQ(1u, Parse(Frame("B3,")).param);
    EXPECT_EQ(0u, Parse(Frame("B3,"), false, true).param);
    EXPECT_EQ(Outcome::Request, Parse(Frame("B0,")).outcome);
    EXPECT_EQ(Outcome::Dropped, Parse(Frame("B0,"), true).outcome);
    EXPECT_EQ(Outcome::Request, Parse(Frame("B1,"), true).outcome);
}

TEST(QrxFrameTest, BadHeadsByLink) {
    for (const std::string& line :
         {std::string("$QRX,B7,A\r\n"), std::string("#QRX,B7,A5\r\n"), std::string("$QRX\0B7,A5\r\n", 12)}) {
        EXPECT_EQ(Outcome::Dropped, Parse(line).outcome) << line;
        EXPECT_EQ(502, Parse(line, false, true).error) << line;
    }
}

std::vector<std::string> Cut(qrxframe::LineCutter& cut, const std::string& bytes) {
    std::vector<std::string> lines;
    for (char c : bytes)
        if (cut.Push(static_cast<uint8_t>(c)))
            lines.emplace_back(reinterpret_cast<const char*>(cut.Line()), cut.Length());
    return lines;
}

TEST(QrxFrameTest, LinesAreBounded) {
    qrxframe::LineCutter bt;
    EXPECT_EQ((std::vector<std::string>{"ab\n", std::string("c\0d\n", 4)}), Cut(bt, std::string("ab\nc\0d\n", 7)));
    // 3000 bytes without LF drop away whole; the line after the next LF is taken.
    auto lines = Cut(bt, std::string(3000, 'x') + "\n$QRX,B7,A5\r\n");
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(3000u - 2048u - 1u + 1u, lines[0].size());
    EXPECT_EQ("$QRX,B7,A5\r\n", lines[1]);

    // The wired link drops the pending bytes and starts again at the next "$".
    qrxframe::LineCutter wired(true);
    lines = Cut(wired, std::string(3000, 'x') + "yy\n$QRX,B7,A5\r\n");
    EXPECT_EQ((std::vector<std::string>{"$QRX,B7,A5\r\n"}), lines);
    lines = Cut(wired, std::string(2048, 'x') + "$QRX,B7,A5\r\n");
    EXPECT_EQ((std::vector<std::string>{"$QRX,B7,A5\r\n"}), lines);
}

}  // namespace
