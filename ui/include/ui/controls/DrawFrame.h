// Drawing a preview frame: fitted into a rectangle with its aspect ratio kept,
// centred, smoothly stretched. The picture made from the frame's pixels is cached
// with the frame (made once per frame, on the user-interface thread).
#pragma once

#include <QImage>

class CFrame;
class QPainter;

namespace Tessaline::Ui {

// The frame's picture (top-down, made from the bottom-up blue-green-red rows), or a
// null image when the frame has no usable pixels.
const QImage &FrameImage(CFrame *frame);

// Draws the frame into (left, top, right, bottom), right and bottom exclusive. When
// the frame has no picture or the rectangle is empty, only the rectangle's outline
// is drawn and false is returned. The bands beside the picture are left as they were.
bool DrawFrame(QPainter &painter, int left, int top, int right, int bottom, CFrame *frame);

}  // namespace Tessaline::Ui
