#include "ui/controls/DrawFrame.h"

#include <deviceio/Frame.h>

#include <QPainter>

#include <cstdint>
#include <limits>

namespace Tessaline::Ui {

namespace {
// The picture kept with a frame after its first draw.
class CFrameImageCache final : public CFrameCache {
public:
    explicit CFrameImageCache(QImage image) : m_image(std::move(image)) {}
    QImage m_image;
};

QImage MakeImage(CFrame *frame)
{
    const int32_t width = frame->Width();
    const int32_t height = frame->Height();
    if (width <= 0 || height <= 0)
        return {};
    // Rows of width * 3 bytes; refuse sizes whose byte count does not fit.
    const uint64_t stride = static_cast<uint64_t>(width) * 3;
    if (stride > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ||
        stride * static_cast<uint64_t>(height) > static_cast<uint64_t>(std::numeric_limits<qsizetype>::max()))
        return {};
    const uint8_t *pixels = frame->GetPixels();
    if (!pixels)
        return {};
    // Wrap the bottom-up rows and make a top-down copy.
    const QImage bottomUp(pixels, width, height, static_cast<qsizetype>(stride), QImage::Format_BGR888);
    return bottomUp.mirrored(false, true);
}
}  // namespace

const QImage &FrameImage(CFrame *frame)
{
    static const QImage none;
    if (!frame)
        return none;
    if (auto *cache = dynamic_cast<CFrameImageCache *>(frame->Cache()))
        return cache->m_image;
    auto cache = std::make_unique<CFrameImageCache>(MakeImage(frame));
    CFrameImageCache *kept = cache.get();
    frame->SetCache(std::move(cache));
    return kept->m_image;
}

bool DrawFrame(QPainter &painter, int left, int top, int right, int bottom, CFrame *frame)
{
    const QImage &image = FrameImage(frame);
    FrameRect fitted;
    if (image.isNull() || !FitFrame(left, top, right, bottom, image.width(), image.height(), &fitted)) {
        painter.save();
        painter.setPen(QPen(Qt::black, 1));
        painter.setBrush(Qt::NoBrush);
        // A 1-pixel pen strokes one pixel beyond the rectangle's size: this outline
        // covers the columns left..right-1 and the rows top..bottom-1.
        painter.drawRect(QRect(left, top, std::max(0, right - left - 1), std::max(0, bottom - top - 1)));
        painter.restore();
        return false;
    }
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.drawImage(QRect(fitted.left, fitted.top, fitted.width, fitted.height), image);
    painter.restore();
    return true;
}

}  // namespace Tessaline::Ui
