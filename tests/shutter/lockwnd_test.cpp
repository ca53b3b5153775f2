// The lock window and its popup on the in-process screen, with the pictures of the program's archive
// and the language files: the popup's answers and size, and golden pictures (QRX_UPDATE_GOLDEN=1
// writes them anew from this run).
#include <gtest/gtest.h>
#include <png.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#include <vector>

#include "DeviceRoot.h"
#include "kit/KitLanguage.h"
#include "qrx/screen.h"
#include "shutter/LockWnd.h"

namespace {

namespace fs = std::filesystem;

constexpr POINT kOk = {312, 333}, kCancel = {462, 333};  // the popup's buttons on the screen
constexpr RECT kPopup = {210, 101, 590, 380};

class LockScreenTest : public DeviceRootTest {
protected:
    void SetUp() override {
        std::ifstream zip(QRX_SHUTTER_ZIP, std::ios::binary);
        m_zip.assign(std::istreambuf_iterator<char>(zip), {});
        ASSERT_TRUE(m_archive.OpenMemory(m_zip.data(), static_cast<DWORD>(m_zip.size())));
        for (const char* lang : {"English.lang", "Korean.lang"})
            fs::copy_file(fs::path(QRX_SOURCE_DIR) / "assets/lang" / lang, root.Host(std::string("Windows/") + lang));
        SetLockArchive(&m_archive);
        static bool registered = CLockWnd::Register(nullptr);
        ASSERT_TRUE(registered);
    }
    void TearDown() override {
        SetLockArchive(nullptr);
        // The window's end posted a quit message: it must not end the next modal loop.
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    // Runs a popup while another thread waits for it and then does what it is given.
    int Popup(int title, int body, const std::function<void(HWND)>& pen, HWND parent = nullptr) {
        rect = RECT{};
        std::thread driver([&] {
            HWND dialog = WaitPopup();
            if (dialog) {
                pen(dialog);
                return;
            }
            // Not to be seen: closed, so that the test fails instead of hanging.
            for (const auto& w : qrx::screen::ListWindows())
                if (w.title == u"POPUP_DIALOG") PostMessageW(w.hwnd, WM_CLOSE, 0, 0);
        });
        int result = ShowPopupDialog(parent, title, body);
        driver.join();
        return result;
    }
    HWND WaitPopup() {
        for (int i = 0; i < 3000; ++i) {
            for (const auto& w : qrx::screen::ListWindows())
                if (w.title == u"POPUP_DIALOG" && w.visible && w.rect.right > w.rect.left) {
                    rect = w.rect;
                    return w.hwnd;
                }
            Sleep(5);
        }
        return nullptr;
    }
    // The screen against a golden picture: at most `allowed` pixels off by more than 24 per channel.
    void ExpectGolden(const char* name, int allowed = 150) {
        const fs::path golden = fs::path(__FILE__).parent_path() / "data" / name;
        if (std::getenv("QRX_UPDATE_GOLDEN")) {
            ASSERT_TRUE(qrx::screen::Shot(golden.c_str()));
            return;
        }
        std::vector<uint32_t> screen;
        ASSERT_TRUE(qrx::screen::Compose(screen));
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&image, golden.c_str())) << golden;
        image.format = PNG_FORMAT_RGB;
        std::vector<png_byte> px(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, px.data(), 0, nullptr));
        ASSERT_EQ(px.size(), screen.size() * 3);
        int off = 0;
        for (size_t i = 0; i < screen.size(); ++i) {
            bool differs = false;
            for (int c = 0; c < 3; ++c) differs |= std::abs(int(screen[i] >> (16 - 8 * c) & 255) - px[3 * i + c]) > 24;
            off += differs;
        }
        EXPECT_LE(off, allowed) << name;
        if (off > allowed) qrx::screen::Shot((root.Path() + "/" + name).c_str());
    }
    std::vector<char> m_zip;
    CKitArchive m_archive;
    RECT rect{};
};

TEST_F(LockScreenTest, PopupAnswersAndKeepsItsSizeWithoutItsBackground) {
    ASSERT_EQ(LoadKitLanguage(0), 0);
    auto tap = [](POINT p) { qrx::screen::Tap(p.x, p.y); };
    EXPECT_EQ(Popup(4, 8, [&](HWND) { tap(kOk); }), 1);
    EXPECT_TRUE(EqualRect(&rect, &kPopup)) << rect.left << "," << rect.top << "," << rect.right << "," << rect.bottom;
    EXPECT_EQ(Popup(4, 8, [&](HWND) { tap(kCancel); }), 2);
    // Slid off OK and let go there: nothing; then CANCEL.
    EXPECT_EQ(Popup(4, 8,
                    [&](HWND) {
                        qrx::screen::Press(kOk.x, kOk.y);
                        qrx::screen::Move(kOk.x, 200);
                        qrx::screen::Release(kOk.x, 200);
                        qrx::screen::Press(kOk.x, kOk.y);
                        qrx::screen::Move(kCancel.x, kCancel.y);
                        qrx::screen::Release(kCancel.x, kCancel.y);
                        tap(kCancel);
                    }),
              2);
    EXPECT_EQ(Popup(4, 8, [](HWND dialog) { PostMessageW(dialog, WM_CLOSE, 0, 0); }), 0);
    // Without its background (no archive at all) it is still 380 x 279 and centred, and answers.
    SetLockArchive(nullptr);
    EXPECT_EQ(Popup(4, 8, [&](HWND) { tap(kOk); }), 1);
    EXPECT_TRUE(EqualRect(&rect, &kPopup)) << rect.left << "," << rect.top << "," << rect.right << "," << rect.bottom;
}

TEST_F(LockScreenTest, GoldenLockScreenPressedKeyAndIntroductions) {
    ASSERT_EQ(LoadKitLanguage(0), 0);
    CLockWnd lock({0, 1}, &m_archive);
    ASSERT_TRUE(lock.Open(nullptr));
    qrx::screen::WaitIdle(10000);
    ExpectGolden("lock_screen.png");
    // Key 4 pressed: its rectangle from the pressed picture, nothing else.
    SendMessageW(lock.GetHwnd(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(400, 360));
    ExpectGolden("lock_key4.png");
    SendMessageW(lock.GetHwnd(), WM_LBUTTONUP, 0, MAKELPARAM(400, 360));
    EXPECT_EQ(lock.Taps().Count(), 1);
    ExpectGolden("lock_screen.png");

    // The check introduction in English, then in Korean in the language's face, which the main
    // program adds.
    EXPECT_EQ(Popup(4, 8,
                    [&](HWND) {
                        qrx::screen::WaitIdle(10000);
                        ExpectGolden("lock_intro_en.png", 400);
                        qrx::screen::Tap(kOk.x, kOk.y);
                    },
                    lock.GetHwnd()),
              1);
    fs::create_directories(root.Host("NAND Flash/Font"));
    fs::copy_file("/usr/share/fonts/truetype/nanum/NanumGothicBold.ttf", root.Host("NAND Flash/Font/NanumGothicBold.ttf"));
    ASSERT_GT(AddFontResourceW(u"\\NAND Flash\\Font\\NanumGothicBold.ttf"), 0);
    ASSERT_EQ(LoadKitLanguage(1), 1);
    EXPECT_EQ(Popup(4, 8,
                    [&](HWND) {
                        qrx::screen::WaitIdle(10000);
                        ExpectGolden("lock_intro_ko.png", 400);
                        qrx::screen::Tap(kOk.x, kOk.y);
                    },
                    lock.GetHwnd()),
              1);
    RemoveFontResourceW(u"\\NAND Flash\\Font\\NanumGothicBold.ttf");
}

}  // namespace
