// The file browser's refresh of a full card folder against a plain folder listing, and the time-zone
// map's paint with its 75 alpha markers.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "PngWriter.h"
#include "ZipWriter.h"
#include "qrx/host.h"
#include "ui/ZipArchive.h"
#include "ui/controls/FileBrowser.h"
#include "ui/controls/TimeZoneMap.h"

namespace {

namespace fs = std::filesystem;

// A device root with a card folder of 600 .csv files, 100 others and 40 folders, made once.
class ControlsRoot {
public:
    ControlsRoot() {
        std::string pattern = (fs::temp_directory_path() / "qrx-bench-controls-XXXXXX").string();
        if (!mkdtemp(pattern.data())) return;
        m_path = pattern;
        const std::string folder = m_path + "/SD Card/Bench";
        fs::create_directories(m_path + "/Windows");
        for (int i = 0; i < 40; ++i) fs::create_directories(folder + "/Run " + std::to_string(i));
        for (int i = 0; i < 600; ++i) std::ofstream(folder + "/log" + std::to_string(i * 7919 % 600) + ".csv") << "x";
        for (int i = 0; i < 100; ++i) std::ofstream(folder + "/note" + std::to_string(i) + ".txt") << "x";
        setenv("QRX_DEVICE_ROOT", m_path.c_str(), 1);
        qrx::ReloadHostConfig();
    }
    ~ControlsRoot() {
        std::error_code ec;
        if (!m_path.empty()) fs::remove_all(m_path, ec);
    }
    bool Ok() const { return !m_path.empty(); }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

ControlsRoot& Root() {
    static ControlsRoot root;
    return root;
}

// An 800 x 480 memory target.
class Screen {
public:
    Screen() {
        dc = CreateCompatibleDC(nullptr);
        bitmap = CreateCompatibleBitmap(dc, 800, 480);
        old = SelectObject(dc, bitmap);
    }
    ~Screen() {
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    HDC dc;
    HBITMAP bitmap;
    HGDIOBJ old;
};

void BM_FolderListReference(benchmark::State& state) {
    if (!Root().Ok()) {
        state.SkipWithError("no temporary device root");
        return;
    }
    for (auto _ : state) {
        WIN32_FIND_DATAW data;
        int n = 0;
        HANDLE find = FindFirstFileW(u"\\SD Card\\Bench\\*.*", &data);
        if (find != INVALID_HANDLE_VALUE) {
            do ++n;
            while (FindNextFileW(find, &data));
            FindClose(find);
        }
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_FolderListReference)->Unit(benchmark::kMillisecond);

void BM_FileBrowserRefresh(benchmark::State& state) {
    if (!Root().Ok()) {
        state.SkipWithError("no temporary device root");
        return;
    }
    auto record = std::make_unique<LayoutControlRecord>();
    record->type = 10;
    record->width = 400;
    record->height = 450;
    record->fontSize = 20;
    CFileBrowser browser(record.get(), nullptr);
    browser.SetItemHeight(30);
    browser.SetSortMode(1);
    browser.SetFilter(u".csv|", u"\\SD Card", 0, 0);
    browser.SetVisible(TRUE);
    Screen screen;
    for (auto _ : state) {
        browser.OpenFolder(u"\\SD Card\\Bench", 1, nullptr, FALSE);
        browser.OnPaint(screen.dc);
        benchmark::DoNotOptimize(browser.GetCount());
    }
    state.counters["rows"] = browser.GetCount();
}
BENCHMARK(BM_FileBrowserRefresh)->Unit(benchmark::kMillisecond);

void BM_TimeZoneMapPaint(benchmark::State& state) {
    if (!Root().Ok()) {
        state.SkipWithError("no temporary device root");
        return;
    }
    // The markers are round alpha pictures: they come from an archive as PNG.
    std::vector<mkimages::ZipMember> members;
    for (const char* name : {"sel.png", "other.png"}) {
        mkimages::Rgba marker;
        marker.width = marker.height = 12;
        marker.pixels.assign(12 * 12 * 4, 0);
        for (int y = 0; y < 12; ++y)
            for (int x = 0; x < 12; ++x) {
                uint8_t* px = &marker.pixels[static_cast<size_t>(y * 12 + x) * 4];
                int dx = 2 * x - 11, dy = 2 * y - 11;
                px[0] = 220;
                px[1] = name[0] == 's' ? 30 : 200;
                px[3] = static_cast<uint8_t>(dx * dx + dy * dy <= 121 ? 255 : dx * dx + dy * dy <= 144 ? 128 : 0);
            }
        mkimages::ZipMember member{name, {}};
        if (!mkimages::EncodePng(marker, member.bytes)) {
            state.SkipWithError("no PNG");
            return;
        }
        members.push_back(std::move(member));
    }
    mkimages::Rgba map;
    map.width = 640;
    map.height = 290;
    map.pixels.assign(static_cast<size_t>(640 * 290 * 4), 255);
    mkimages::ZipMember mapMember{"map.png", {}};
    mkimages::EncodePng(map, mapMember.bytes);
    members.push_back(std::move(mapMember));
    std::string error;
    if (!mkimages::WriteZip(Root().Path() + "/Windows/Bench.zip", members, error) ||
        !LoadArchiveFile(u"\\Windows\\Bench.zip")) {
        state.SkipWithError("no archive");
        return;
    }
    auto record = std::make_unique<LayoutControlRecord>();
    record->type = 17;
    record->width = 640;
    record->height = 290;
    CTimeZoneMapCtrl control(record.get(), nullptr);
    control.LoadImages(u"map.png", nullptr, nullptr, nullptr);
    control.SetImages(u"sel.png", u"other.png");
    control.OnCreate();
    control.SetVisible(TRUE);
    Screen screen;
    for (auto _ : state) {
        control.OnPaint(screen.dc);
        benchmark::ClobberMemory();
    }
    control.Destroy();
    FreeArchiveFile();
}
BENCHMARK(BM_TimeZoneMapPaint)->Unit(benchmark::kMicrosecond);

}  // namespace
