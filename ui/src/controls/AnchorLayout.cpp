#include "ui/controls/AnchorLayout.h"

#include "ui/framework/DialogTemplate.h"

#include <QWidget>

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace Tessaline::Ui {

namespace {

constexpr int kMaxPasses = 1000;
constexpr int64_t kFineX = 4;  // fine units per pixel, horizontally
constexpr int64_t kFineY = 8;  // and vertically

// A rectangle in fine units; right and bottom exclusive. Indexed by LayoutEdge.
struct FineRect {
    int64_t edge[4] = {0, 0, 0, 0};
    int64_t &left() { return edge[EDGE_LEFT]; }
    int64_t &right() { return edge[EDGE_RIGHT]; }
    int64_t &top() { return edge[EDGE_TOP]; }
    int64_t &bottom() { return edge[EDGE_BOTTOM]; }
    friend bool operator==(const FineRect &a, const FineRect &b)
    {
        return a.edge[0] == b.edge[0] && a.edge[1] == b.edge[1] && a.edge[2] == b.edge[2] && a.edge[3] == b.edge[3];
    }
};

// Rounds to the nearest multiple of `step`, halves away from zero.
int64_t RoundTo(int64_t value, int64_t step)
{
    if (value >= 0)
        return (value + step / 2) / step * step;
    return -((-value + step / 2) / step * step);
}

int64_t ToPixels(int64_t value, int64_t step)
{
    return RoundTo(value, step) / step;
}

bool IsHorizontal(int edge)
{
    return edge == EDGE_LEFT || edge == EDGE_RIGHT;
}

struct Context {
    QWidget *parent = nullptr;
    const LayoutRule *rules = nullptr;
    size_t count = 0;
    int64_t width = 0;   // client width, fine units, whole base units
    int64_t height = 0;  // client height
    LayoutUnits units;
    std::map<QWidget *, FineRect> first;   // first rectangle recorded per control, this pass
    std::map<QWidget *, FineRect> latest;  // latest rectangle recorded per control, this pass
    std::vector<bool> oppositeRuled;       // per rule: another rule sets its control's opposite edge
};

FineRect CurrentRect(Context &context, QWidget *control)
{
    if (auto it = context.latest.find(control); it != context.latest.end())
        return it->second;
    const QRect g = control->geometry();
    FineRect r;
    r.left() = int64_t{g.x()} * kFineX;
    r.right() = (int64_t{g.x()} + g.width()) * kFineX;
    r.top() = int64_t{g.y()} * kFineY;
    r.bottom() = (int64_t{g.y()} + g.height()) * kFineY;
    return r;
}

// The new value of the rule's edge, or nothing (unknown kind, missing reference).
bool RuleValue(Context &context, const LayoutRule &rule, const FineRect &, int64_t *value)
{
    const bool horizontal = IsHorizontal(rule.edge);
    const int64_t extent = horizontal ? context.width : context.height;
    const int64_t off = int64_t{rule.offset} * (horizontal ? context.units.horizontal : context.units.vertical);
    const bool nearEdge = rule.edge == EDGE_LEFT || rule.edge == EDGE_TOP;
    switch (rule.kind) {
    case LAYOUT_PARENT_SAME:
        *value = nearEdge ? off : extent - off;
        return true;
    case LAYOUT_PARENT_OPPOSITE:
        *value = nearEdge ? extent - off : off;
        return true;
    case LAYOUT_BESIDE:
    case LAYOUT_ALIGNED: {
        QWidget *reference = GetDlgItem(context.parent, rule.reference);
        if (!reference)
            return false;
        FineRect r = CurrentRect(context, reference);
        const int near = horizontal ? EDGE_LEFT : EDGE_TOP;
        const int far = horizontal ? EDGE_RIGHT : EDGE_BOTTOM;
        if (rule.kind == LAYOUT_BESIDE)
            *value = nearEdge ? r.edge[far] + off : r.edge[near] - off;
        else
            *value = nearEdge ? r.edge[near] + off : r.edge[far] - off;
        return true;
    }
    case LAYOUT_FRACTION: {
        const int64_t denominator = rule.reference < 1 ? 100 : rule.reference;
        *value = off + extent * rule.numerator / denominator;
        return true;
    }
    default:
        return false;
    }
}

void Normalise(Context &context, FineRect &r)
{
    if (r.right() < r.left())
        r.right() = r.left();
    if (r.bottom() < r.top())
        r.bottom() = r.top();
    // Keep every control reachable: one lying wholly outside the client area comes
    // back to its nearest edge.
    if (r.right() <= 0 && r.left() < 0) {
        r.right() -= r.left();
        r.left() = 0;
    } else if (r.left() >= context.width && r.right() > context.width) {
        r.left() -= r.right() - context.width;
        r.right() = context.width;
    }
    if (r.bottom() <= 0 && r.top() < 0) {
        r.bottom() -= r.top();
        r.top() = 0;
    } else if (r.top() >= context.height && r.bottom() > context.height) {
        r.top() -= r.bottom() - context.height;
        r.bottom() = context.height;
    }
    // Whole pixels: first the left and top edges, keeping the size, then the right
    // and bottom edges.
    const int64_t dx = RoundTo(r.left(), kFineX) - r.left();
    r.left() += dx;
    r.right() += dx;
    const int64_t dy = RoundTo(r.top(), kFineY) - r.top();
    r.top() += dy;
    r.bottom() += dy;
    r.right() = RoundTo(r.right(), kFineX);
    r.bottom() = RoundTo(r.bottom(), kFineY);
}

// One pass over the table; true when some control was placed differently by two
// groups of the pass.
bool RunPass(Context &context)
{
    context.first.clear();
    context.latest.clear();
    std::vector<std::pair<QWidget *, QRect>> batch;

    size_t i = 0;
    while (i < context.count) {
        const int id = context.rules[i].controlId;
        size_t end = i;
        while (end < context.count && context.rules[end].controlId == id)
            ++end;
        QWidget *control = GetDlgItem(context.parent, id);
        if (!control) {
            i = end;
            continue;
        }
        FineRect rect = CurrentRect(context, control);
        const FineRect start = rect;
        for (size_t k = i; k < end; ++k) {
            const LayoutRule &rule = context.rules[k];
            if (rule.edge < EDGE_LEFT || rule.edge > EDGE_BOTTOM)
                continue;
            int64_t value = 0;
            if (!RuleValue(context, rule, rect, &value))
                continue;
            const int64_t moved = value - rect.edge[rule.edge];
            rect.edge[rule.edge] = value;
            if (!context.oppositeRuled[k])
                rect.edge[rule.edge ^ 1] += moved;
            Normalise(context, rect);
        }
        if (!(rect == start)) {
            context.latest[control] = rect;
            context.first.try_emplace(control, rect);
            const int64_t left = ToPixels(rect.left(), kFineX);
            const int64_t top = ToPixels(rect.top(), kFineY);
            batch.emplace_back(control, QRect(static_cast<int>(left), static_cast<int>(top),
                                              static_cast<int>(ToPixels(rect.right(), kFineX) - left),
                                              static_cast<int>(ToPixels(rect.bottom(), kFineY) - top)));
        }
        i = end;
    }

    for (const auto &[control, geometry] : batch)
        control->setGeometry(geometry);

    for (const auto &[control, rect] : context.latest) {
        if (!(context.first[control] == rect))
            return true;
    }
    return false;
}

}  // namespace

LayoutUnits LayoutUnitsFor(const QWidget *parent)
{
    LayoutUnits units;
    const QRect converted = MapDialogRect(parent, QRect(0, 0, 40, 80));
    const int horizontal = converted.width() / 10;
    const int vertical = converted.height() / 10;
    if (horizontal > 0 && vertical > 0) {
        units.horizontal = horizontal;
        units.vertical = vertical;
    }
    return units;
}

int ApplyLayout(QWidget *parent, const LayoutRule *rules)
{
    if (!parent || !rules)
        return 0;
    const QRect client = parent->rect();
    if (client.isEmpty())
        return 0;

    Context context;
    context.parent = parent;
    context.rules = rules;
    while (rules[context.count].kind != LAYOUT_END)
        ++context.count;
    context.units = LayoutUnitsFor(parent);
    context.width = int64_t{client.width()} * kFineX / context.units.horizontal * context.units.horizontal;
    context.height = int64_t{client.height()} * kFineY / context.units.vertical * context.units.vertical;

    context.oppositeRuled.assign(context.count, false);
    for (size_t k = 0; k < context.count; ++k) {
        for (size_t m = 0; m < context.count; ++m) {
            if (m != k && rules[m].controlId == rules[k].controlId && rules[m].edge == (rules[k].edge ^ 1)) {
                context.oppositeRuled[k] = true;
                break;
            }
        }
    }

    int passes = 0;
    while (passes < kMaxPasses) {
        ++passes;
        if (!RunPass(context))
            break;
    }
    return passes;
}

}  // namespace Tessaline::Ui
