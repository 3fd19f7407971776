// The anchor layout: stretching and moving, fractions, references moved earlier in the
// pass, normalisation back into the client area, pixel snapping, repeated passes.
#include <ui/controls/AnchorLayout.h>
#include <ui/framework/DialogTemplate.h>

#include <QFont>
#include <QWidget>

#include <gtest/gtest.h>

using namespace Tessaline::Ui;

namespace {

class LayoutTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(11);
        parent.setFont(font);
        parent.resize(400, 300);
        units = LayoutUnitsFor(&parent);
        ASSERT_GT(units.horizontal, 0);
        ASSERT_GT(units.vertical, 0);
    }

    QWidget *Add(int id, QRect geometry)
    {
        auto *child = new QWidget(&parent);
        SetControlId(child, id);
        child->setGeometry(geometry);
        return child;
    }

    // Client extent in fine units, truncated to whole base units, back in pixels
    // (exact when divisible, else the fine value / 4 or 8 rounded half away).
    int64_t FineWidth() const { return int64_t{parent.width()} * 4 / units.horizontal * units.horizontal; }
    int64_t FineHeight() const { return int64_t{parent.height()} * 8 / units.vertical * units.vertical; }
    static int Px(int64_t fine, int step) { return static_cast<int>((fine + step / 2) / step); }

    QWidget parent;
    LayoutUnits units;
};

}  // namespace

TEST_F(LayoutTest, BaseUnitsComeFromTheDialogFont)
{
    const DialogBaseUnits base = BaseUnitsFor(&parent);
    EXPECT_EQ(units.horizontal, MapDialogRect(QRect(0, 0, 40, 80), base).width() / 10);
    EXPECT_EQ(units.vertical, MapDialogRect(QRect(0, 0, 40, 80), base).height() / 10);
}

TEST_F(LayoutTest, RulesOnBothEdgesStretchOneEdgeMoves)
{
    QWidget *both = Add(1, QRect(10, 10, 50, 20));
    QWidget *one = Add(2, QRect(100, 100, 40, 20));
    static const LayoutRule rules[] = {
        {1, EDGE_LEFT, 0, LAYOUT_PARENT_SAME, 0, 4},
        {1, EDGE_RIGHT, 0, LAYOUT_PARENT_SAME, 0, 4},
        {2, EDGE_LEFT, 0, LAYOUT_PARENT_SAME, 0, 4},
        {2, EDGE_BOTTOM, 0, LAYOUT_PARENT_SAME, 0, 4},
        {0, 0, 0, LAYOUT_END, 0, 0},
    };
    EXPECT_EQ(ApplyLayout(&parent, rules), 1);
    const int left = Px(4 * units.horizontal, 4);
    EXPECT_EQ(both->x(), left);
    EXPECT_EQ(both->x() + both->width(), Px(FineWidth() - 4 * units.horizontal, 4));
    EXPECT_EQ(both->y(), 10);
    EXPECT_EQ(both->height(), 20);
    EXPECT_EQ(one->x(), left);
    EXPECT_EQ(one->width(), 40);
    EXPECT_EQ(one->height(), 20);
    EXPECT_EQ(one->y() + one->height(), Px(FineHeight() - 4 * units.vertical, 8));

    // Growing the window stretches the first control further and keeps the second's size.
    parent.resize(600, 400);
    ApplyLayout(&parent, rules);
    EXPECT_EQ(both->x() + both->width(), Px(FineWidth() - 4 * units.horizontal, 4));
    EXPECT_EQ(one->width(), 40);
    EXPECT_EQ(one->y() + one->height(), Px(FineHeight() - 4 * units.vertical, 8));
}

TEST_F(LayoutTest, FractionCentresAButton)
{
    const QRect button = MapDialogRect(&parent, QRect(0, 0, 50, 14));
    QWidget *refresh = Add(1012, QRect(5, 5, button.width(), button.height()));
    static const LayoutRule rules[] = {
        {1012, EDGE_LEFT, 100, LAYOUT_FRACTION, 50, -25},
        {0, 0, 0, LAYOUT_END, 0, 0},
    };
    ApplyLayout(&parent, rules);
    EXPECT_EQ(refresh->width(), button.width());
    const int centre2 = 2 * refresh->x() + refresh->width();
    EXPECT_LE(std::abs(centre2 - parent.width()), 3) << refresh->geometry().x();

    // A denominator below 1 means 100.
    static const LayoutRule zero[] = {
        {1012, EDGE_LEFT, 0, LAYOUT_FRACTION, 50, -25},
        {0, 0, 0, LAYOUT_END, 0, 0},
    };
    const QRect before = refresh->geometry();
    ApplyLayout(&parent, zero);
    EXPECT_EQ(refresh->geometry(), before);
}

TEST_F(LayoutTest, ReferencesCountWithTheirNewPlace)
{
    // The list pane's table: buttons along the bottom, the list above them.
    const DialogBaseUnits base = BaseUnitsFor(&parent);
    QWidget *list = Add(1004, MapDialogRect(QRect(2, 0, 165, 87), base));
    QWidget *add = Add(1006, MapDialogRect(QRect(1, 91, 50, 14), base));
    QWidget *remove = Add(1005, MapDialogRect(QRect(56, 91, 50, 14), base));
    QWidget *search = Add(1013, MapDialogRect(QRect(117, 91, 50, 14), base));
    static const LayoutRule rules[] = {
        {1006, EDGE_LEFT, 0, LAYOUT_PARENT_SAME, 0, 4},
        {1006, EDGE_BOTTOM, 0, LAYOUT_PARENT_SAME, 0, 4},
        {1005, EDGE_LEFT, 1006, LAYOUT_BESIDE, 0, 4},
        {1005, EDGE_BOTTOM, 0, LAYOUT_PARENT_SAME, 0, 4},
        {1013, EDGE_RIGHT, 0, LAYOUT_PARENT_SAME, 0, 4},
        {1013, EDGE_BOTTOM, 0, LAYOUT_PARENT_SAME, 0, 4},
        {1004, EDGE_TOP, 0, LAYOUT_PARENT_SAME, 0, 4},
        {1004, EDGE_LEFT, 0, LAYOUT_PARENT_SAME, 0, 4},
        {1004, EDGE_RIGHT, 0, LAYOUT_PARENT_SAME, 0, 4},
        {1004, EDGE_BOTTOM, 1006, LAYOUT_BESIDE, 0, 4},
        {0, 0, 0, LAYOUT_END, 0, 0},
    };
    parent.resize(330, 520);
    EXPECT_EQ(ApplyLayout(&parent, rules), 1);
    const int gapX = Px(4 * units.horizontal, 4);
    const int gapY = Px(4 * units.vertical, 8);
    EXPECT_EQ(remove->x(), add->x() + add->width() + gapX);
    EXPECT_EQ(remove->y(), add->y());
    EXPECT_EQ(search->x() + search->width(), Px(FineWidth() - 4 * units.horizontal, 4));
    EXPECT_EQ(list->y() + list->height(), Px(int64_t{add->y()} * 8 - 4 * units.vertical, 8));
    EXPECT_NEAR(list->y() + list->height(), add->y() - gapY, 1);
    EXPECT_EQ(list->x(), gapX);
    EXPECT_EQ(list->y(), gapY);
    EXPECT_GT(list->height(), 400);
    // Buttons keep their sizes.
    EXPECT_EQ(add->size(), MapDialogRect(QRect(1, 91, 50, 14), base).size());
}

TEST_F(LayoutTest, ControlsLeavingTheClientAreaComeBack)
{
    QWidget *leftward = Add(1, QRect(50, 10, 10, 10));
    QWidget *anchor = Add(2, QRect(300, 40, 10, 10));
    QWidget *rightward = Add(3, QRect(0, 70, 30, 10));
    static const LayoutRule rules[] = {
        {1, EDGE_RIGHT, 0, LAYOUT_PARENT_SAME, 0, 40},  // right edge 40 units in from the right
        {3, EDGE_LEFT, 2, LAYOUT_BESIDE, 0, 4},        // beside a control far to the right
        {0, 0, 0, LAYOUT_END, 0, 0},
    };
    parent.resize(40, 120);
    ApplyLayout(&parent, rules);
    // Wholly left of the client area: moved right onto its left edge, size kept.
    EXPECT_EQ(leftward->geometry(), QRect(0, 10, 10, 10));
    // Wholly right of it: moved left until its right edge is on the client's.
    EXPECT_EQ(rightward->width(), 30);
    EXPECT_EQ(rightward->x() + rightward->width(), Px(FineWidth(), 4));
    EXPECT_EQ(anchor->geometry(), QRect(300, 40, 10, 10));
}

TEST_F(LayoutTest, EmptyClientAreaAndMissingControls)
{
    QWidget *child = Add(1, QRect(10, 10, 10, 10));
    static const LayoutRule rules[] = {
        {7, EDGE_LEFT, 0, LAYOUT_PARENT_SAME, 0, 4},   // no such control
        {1, EDGE_LEFT, 9, LAYOUT_ALIGNED, 0, 4},        // no such reference: edge unchanged
        {1, EDGE_TOP, 0, LAYOUT_PARENT_SAME, 0, 1},
        {0, 0, 0, LAYOUT_END, 0, 0},
    };
    parent.resize(0, 100);
    EXPECT_EQ(ApplyLayout(&parent, rules), 0);
    EXPECT_EQ(child->geometry(), QRect(10, 10, 10, 10));

    parent.resize(200, 100);
    EXPECT_EQ(ApplyLayout(&parent, rules), 1);
    EXPECT_EQ(child->x(), 10);
    // One vertical unit is a fraction of a pixel: it snaps to the nearest whole one,
    // halves away from zero, with the height kept.
    EXPECT_EQ(child->y(), Px(units.vertical, 8));
    EXPECT_EQ(child->height(), 10);
}

TEST_F(LayoutTest, AControlPlacedTwiceInOnePassRunsMorePasses)
{
    QWidget *a = Add(1, QRect(0, 0, 20, 10));
    QWidget *b = Add(2, QRect(0, 20, 20, 10));
    static const LayoutRule rules[] = {
        {1, EDGE_LEFT, 0, LAYOUT_PARENT_SAME, 0, 4},
        {2, EDGE_LEFT, 1, LAYOUT_BESIDE, 0, 0},
        {1, EDGE_LEFT, 0, LAYOUT_PARENT_SAME, 0, 8},
        {0, 0, 0, LAYOUT_END, 0, 0},
    };
    // Each pass puts control 1 in two places: the passes stop at the cap.
    EXPECT_EQ(ApplyLayout(&parent, rules), 1000);
    EXPECT_EQ(a->x(), Px(8 * units.horizontal, 4));
    EXPECT_EQ(b->x(), Px(4 * units.horizontal, 4) + 20);
    EXPECT_EQ(a->width(), 20);
}
