// Scrolling a long list by one page and painting the rows that come into view.
#include <benchmark/benchmark.h>

#include <windows.h>

#include <memory>
#include <string>

#include "ui/controls/ListBox.h"

namespace {

constexpr int kRows = 500;

void BM_ListScrollPage(benchmark::State& state) {
    auto record = std::make_unique<LayoutControlRecord>();
    record->type = 3;
    record->width = 400;
    record->height = 450;
    record->textColor = 0x202020;
    record->backColor = 0xFFFFFF;
    record->fontSize = 20;
    CListBoxCtrl list(record.get(), nullptr);
    list.SetItemHeight(30);
    list.SetAlwaysShowBar(0);
    for (int i = 0; i < kRows; ++i) {
        std::string text = "Program " + std::to_string(i) + " charge 4.20 V 1.50 A";
        std::u16string wide(text.begin(), text.end());
        list.AddItem(wide.c_str(), nullptr, nullptr, FALSE, -1, TRUE);
    }
    list.SetCurSel(3, FALSE, FALSE, nullptr);
    list.SetVisible(TRUE);
    HDC screen = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 800, 480);
    HGDIOBJ old = SelectObject(screen, bitmap);
    int top = 0;
    for (auto _ : state) {
        top += list.GetPageSize();
        if (top > kRows - list.GetPageSize()) top = 0;
        list.SetTopIndex(top, FALSE);
        list.OnPaint(screen);
        benchmark::DoNotOptimize(list.GetTopIndex());
    }
    SelectObject(screen, old);
    DeleteObject(bitmap);
    DeleteDC(screen);
}
BENCHMARK(BM_ListScrollPage)->Unit(benchmark::kMicrosecond);

}  // namespace
