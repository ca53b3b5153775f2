// The system log's line forms and the top bar's clock text.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "DeviceRoot.h"
#include "app/MainFrame.h"
#include "app/Settings.h"
#include "app/TopBar.h"

namespace {

// The log is UTF-16 without a byte-order mark; the tests' texts are ASCII.
std::string ReadLog(const TempDeviceRoot& root, const std::string& relative) {
    std::string bytes = root.ReadFile(relative);
    std::string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) text += static_cast<char>(bytes[i] | (bytes[i + 1] << 8));
    return text;
}

class SystemLogTest : public DeviceRootTest {
protected:
    void SetUp() override { QrxStrCopy(g_szStorageRoot, 16, u"\\SD Card"); }
    void TearDown() override { QrxStrCopy(g_szStorageRoot, 16, u"\\SD Card"); }
};

TEST_F(SystemLogTest, PopupLinesCarryCodeKindAndOneLineOfText) {
    WriteSystemLog(10, u"No response.\r\nThe output is off.", 20);
    WriteSystemLog(11, u"Done", 41);
    WriteSystemLog(12, u"Bad\rvalue\nhere", 36);
    WriteSystemLog(13, u"", 0);
    std::string log = ReadLog(root, "SD Card/system.log");
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log[0], '\xFF') << "no byte-order mark";
    std::regex line(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )");
    std::smatch m;
    std::vector<std::string> bodies;
    std::string rest = log;
    while (std::regex_search(rest, m, line)) {
        size_t end = rest.find("\r\n", static_cast<size_t>(m.position() + m.length()));
        ASSERT_NE(end, std::string::npos);
        bodies.push_back(rest.substr(static_cast<size_t>(m.position() + m.length()),
                                     end - static_cast<size_t>(m.position() + m.length())));
        rest = rest.substr(end + 2);
    }
    ASSERT_EQ(bodies.size(), 4u);
    EXPECT_EQ(bodies[0], "20,ERR,No response. The output is off.");
    EXPECT_EQ(bodies[1], "41,NOTI,Done");
    EXPECT_EQ(bodies[2], "36,SET ERR,Bad value here");
    EXPECT_EQ(bodies[3], "0,UNKNOWN,");
    EXPECT_TRUE(rest.empty());
}

TEST_F(SystemLogTest, RunNotesNameTheMode) {
    const int modes[] = {0, 1, 2, 3, 8, 9, -1};
    for (int mode : modes) WriteSystemLogNote(mode);
    std::string log = ReadLog(root, "SD Card/system.log");
    std::regex note(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] 0,NOTI,(\w+)\r\n)");
    std::vector<std::string> words;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), note); it != std::sregex_iterator(); ++it)
        words.push_back((*it)[1]);
    EXPECT_EQ(words, (std::vector<std::string>{"Restoration", "Restoration", "Discharge", "Program", "Program",
                                               "Unknown", "Unknown"}));
}

TEST_F(SystemLogTest, FollowsTheStorageRootAndSkipsAMissingOne) {
    QrxStrCopy(g_szStorageRoot, 16, u"\\Hard Disk");
    WriteSystemLog(10, u"on the disk", 0);
    EXPECT_NE(ReadLog(root, "Hard Disk/system.log").find("0,ERR,on the disk\r\n"), std::string::npos);
    EXPECT_TRUE(root.ReadFile("SD Card/system.log").empty());

    QrxStrCopy(g_szStorageRoot, 16, u"\\USB Gone");
    WriteSystemLog(10, u"nowhere", 0);  // skipped without a crash or a stray file
    EXPECT_TRUE(root.ReadFile("USB Gone/system.log").empty());
}

TEST(TopBarClock, TwelveAndTwentyFourHourForms) {
    WCHAR text[16];
    struct Case {
        int hour, minute;
        BOOL clock24;
        const char16_t* expected;
    } cases[] = {
        {0, 5, FALSE, u"AM 12:05"}, {11, 59, FALSE, u"AM 11:59"}, {12, 30, FALSE, u"PM 12:30"},
        {13, 0, FALSE, u"PM 01:00"}, {23, 9, FALSE, u"PM 11:09"}, {0, 5, TRUE, u"00:05"}, {23, 59, TRUE, u"23:59"},
    };
    for (const Case& c : cases) {
        FormatTopBarClock(text, 16, c.hour, c.minute, c.clock24);
        EXPECT_EQ(std::u16string(text), std::u16string(c.expected)) << c.hour << ":" << c.minute;
    }
}

TEST(PopupKinds, TitlesNameTheirKind) {
    EXPECT_EQ(std::u16string(PopupKindText(10)), u"ERR");
    EXPECT_EQ(std::u16string(PopupKindText(11)), u"NOTI");
    EXPECT_EQ(std::u16string(PopupKindText(12)), u"SET ERR");
    EXPECT_EQ(std::u16string(PopupKindText(13)), u"UNKNOWN");
}

}  // namespace
