// Table-driven layout of a dialog-like window's controls.
//
// Each rule places one edge of one control, in dialog units, relative to the parent's
// edges, to another control, or at a fraction of the parent's extent. A table is a
// constant array ending with a rule of kind 0. An edge without a rule keeps the
// control's size (the control moves); rules on both opposite edges stretch it.
//
// Kinds (W, H: the parent's client size; R: the reference control's rectangle):
//   1 from the parent's same edge:     left off, right W-off, top off, bottom H-off
//   2 from the parent's opposite edge: left W-off, right off, top H-off, bottom off
//   3 beside the reference (outside):  left R.right+off, right R.left-off,
//                                      top R.bottom+off, bottom R.top-off
//   4 aligned with the reference:      left R.left+off, right R.right-off,
//                                      top R.top+off, bottom R.bottom-off
//   5 fraction of the parent:          off + W (or H) x numerator / denominator
#pragma once

#include <QRect>

#include <cstddef>

class QWidget;

namespace Tessaline::Ui {

enum LayoutEdge : int { EDGE_LEFT = 0, EDGE_RIGHT = 1, EDGE_TOP = 2, EDGE_BOTTOM = 3 };

enum LayoutKind : int {
    LAYOUT_END = 0,
    LAYOUT_PARENT_SAME = 1,
    LAYOUT_PARENT_OPPOSITE = 2,
    LAYOUT_BESIDE = 3,
    LAYOUT_ALIGNED = 4,
    LAYOUT_FRACTION = 5,
};

struct LayoutRule {
    int controlId;
    int edge;       // LayoutEdge
    int reference;  // kinds 3, 4: reference control id; kind 5: denominator (< 1 means 100)
    int kind;       // LayoutKind
    int numerator;  // kind 5
    int offset;     // dialog units, may be negative
};

// Repositions the parent's child controls by the table (ended by a rule of kind 0).
// A parent whose client area is empty is left alone. Returns the number of passes
// made (0 when nothing was laid out).
int ApplyLayout(QWidget *parent, const LayoutRule *rules);

// The base units the layout works with: a 40 x 80 dialog-unit rectangle converted for
// the parent, each side divided by 10 (4 and 8 when the conversion gives nothing).
struct LayoutUnits {
    int horizontal = 4;  // quarter pixels per horizontal dialog unit
    int vertical = 8;    // eighth pixels per vertical dialog unit
};
LayoutUnits LayoutUnitsFor(const QWidget *parent);

}  // namespace Tessaline::Ui
