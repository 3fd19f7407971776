// Painting a list row's thumbnail: DrawFrame (the picture is made from the frame's
// bottom-up rows once and kept with the frame, then stretched smoothly) beside the
// plain way of converting the pixels again for every paint.
#include "compare.h"

#include <ui/controls/DrawFrame.h>

#include <deviceio/Frame.h>

#include <QImage>
#include <QPainter>

#include <memory>

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 1024;

Ambry::Ref<CFrame> TestFrame()
{
    auto pixels = std::make_unique<uint8_t[]>(size_t(kWidth) * kHeight * 3);
    for (size_t i = 0; i < size_t(kWidth) * kHeight * 3; ++i)
        pixels[i] = uint8_t(i * 7 + i / 3001);
    return Ambry::Adopt<CFrame>(new CFrameJPEG(std::move(pixels), kWidth, kHeight));
}

// The thumbnail area of a list row: (5, 5)-(77, 50) in a 240 x 70 row.
void Ours(benchmark::State &state)
{
    Ambry::Ref<CFrame> frame = TestFrame();
    QImage row(240, 70, QImage::Format_RGB32);
    {
        QPainter check(&row);
        if (!Tessaline::Ui::DrawFrame(check, 5, 5, 77, 50, frame.get())) {
            state.SkipWithError("DrawFrame drew nothing");
            return;
        }
    }
    for (auto _ : state) {
        QPainter painter(&row);
        Tessaline::Ui::DrawFrame(painter, 5, 5, 77, 50, frame.get());
        painter.end();
        benchmark::DoNotOptimize(row.constBits());
    }
    bench::ReportRate(state, double(state.iterations()), "rows/s");
}

void ConvertEachPaint(benchmark::State &state)
{
    Ambry::Ref<CFrame> frame = TestFrame();
    QImage row(240, 70, QImage::Format_RGB32);
    for (auto _ : state) {
        const QImage bottomUp(frame->GetPixels(), kWidth, kHeight, kWidth * 3, QImage::Format_BGR888);
        const QImage upright = bottomUp.mirrored(false, true);
        QPainter painter(&row);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
        painter.drawImage(QRect(13, 5, 56, 45), upright);  // the same fitted place
        painter.end();
        benchmark::DoNotOptimize(row.constBits());
    }
    bench::ReportRate(state, double(state.iterations()), "rows/s");
}

BENCHMARK(Ours)->Name("ui_thumbnail_1280x1024/ours")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(ConvertEachPaint)->Name("ui_thumbnail_1280x1024/ref:convert-each-paint")->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
