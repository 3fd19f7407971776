#include "ui/options/OptionsPages.h"

#include "PageControls.h"

#include <options/PageRules.h>

#include <QLabel>

#include <vector>

namespace Tessaline::Ui {
namespace {

enum : int {
    IDC_PHASE_CHECK = 30001,
    IDC_PHASE_SLIDER = 30002,
    IDC_PHASE_MIN = 30003,
    IDC_PHASE_MAX = 30004,
    IDC_PLL_CHECK = 30005,
    IDC_PLL_SLIDER = 30006,
    IDC_PLL_MIN = 30007,
    IDC_PLL_MAX = 30008,
    IDC_HSHIFT_CHECK = 30009,
    IDC_HSHIFT_SLIDER = 30010,
    IDC_HSHIFT_MIN = 30011,
    IDC_HSHIFT_MAX = 30012,
    IDC_VSHIFT_CHECK = 30013,
    IDC_VSHIFT_SLIDER = 30014,
    IDC_VSHIFT_MIN = 30015,
    IDC_VSHIFT_MAX = 30016,
    IDC_OFFSET_GAIN_CHECK = 30017,
    IDC_OFFSET_SLIDER = 30018,
    IDC_GAIN_SLIDER = 30019,
    IDC_OFFSET_MIN = 30020,
    IDC_OFFSET_MAX = 30021,
    IDC_OFFSET_CAPTION = 30022,
    IDC_GAIN_MIN = 30023,
    IDC_GAIN_MAX = 30024,
    IDC_GAIN_CAPTION = 30025,
    IDC_WIDE_MODE = 30026,
    IDC_PHASE_VALUE = 30027,
    IDC_PLL_VALUE = 30028,
    IDC_HSHIFT_VALUE = 30029,
    IDC_VSHIFT_VALUE = 30030,
    IDC_OFFSET_GAIN_VALUE = 30031,
    IDC_VSHIFT_GROUP = 30032,
    IDC_PHASE_GROUP = 30033,
    IDC_PLL_GROUP = 30034,
    IDC_HSHIFT_GROUP = 30035,
    IDC_OFFSET_GAIN_GROUP = 30036,
};

constexpr unsigned RO = CS_NONE;

// One group with a single slider: box, checkbox, value, min label, slider, max label.
#define SLIDER_GROUP(Y, GROUP, CHECK, CAPTION, VALUE, MIN, SLIDER, MAX, NAME)                  \
    {GROUP, ControlKind::GroupBox, "", 7, Y, 246, 38},                                         \
    {CHECK, ControlKind::CheckBox, CAPTION, 14, Y + 9, 150, 10},                               \
    {VALUE, ControlKind::Edit, "", 204, Y + 8, 42, 12, RO, NAME " value"},                     \
    {MIN, ControlKind::Static, "", 12, Y + 24, 26, 8, CS_RIGHT, NAME " minimum"},              \
    {SLIDER, ControlKind::Custom, TRACKBAR_TAG, 40, Y + 21, 168, 14, CS_NONE, NAME},           \
    {MAX, ControlKind::Static, "", 210, Y + 24, 36, 8, CS_NONE, NAME " maximum"}

const ControlTemplate kControls[] = {
    SLIDER_GROUP(4, IDC_HSHIFT_GROUP, IDC_HSHIFT_CHECK, "&Horizontal shift", IDC_HSHIFT_VALUE, IDC_HSHIFT_MIN,
                 IDC_HSHIFT_SLIDER, IDC_HSHIFT_MAX, "Horizontal shift"),
    SLIDER_GROUP(44, IDC_VSHIFT_GROUP, IDC_VSHIFT_CHECK, "&Vertical shift", IDC_VSHIFT_VALUE, IDC_VSHIFT_MIN,
                 IDC_VSHIFT_SLIDER, IDC_VSHIFT_MAX, "Vertical shift"),
    {IDC_OFFSET_GAIN_GROUP, ControlKind::GroupBox, "", 7, 84, 246, 56},
    {IDC_OFFSET_GAIN_CHECK, ControlKind::CheckBox, "Set &offset/gain (brightness/contrast)", 14, 93, 180, 10},
    {IDC_OFFSET_GAIN_VALUE, ControlKind::Edit, "", 204, 92, 42, 12, RO, "Offset/gain value"},
    {IDC_OFFSET_CAPTION, ControlKind::Static, "Offset", 14, 108, 30, 8},
    {IDC_OFFSET_MIN, ControlKind::Static, "", 44, 108, 20, 8, CS_RIGHT, "Offset minimum"},
    {IDC_OFFSET_SLIDER, ControlKind::Custom, TRACKBAR_TAG, 66, 105, 142, 14, CS_NONE, "Offset"},
    {IDC_OFFSET_MAX, ControlKind::Static, "", 210, 108, 36, 8, CS_NONE, "Offset maximum"},
    {IDC_GAIN_CAPTION, ControlKind::Static, "Gain", 14, 126, 30, 8},
    {IDC_GAIN_MIN, ControlKind::Static, "", 44, 126, 20, 8, CS_RIGHT, "Gain minimum"},
    {IDC_GAIN_SLIDER, ControlKind::Custom, TRACKBAR_TAG, 66, 123, 142, 14, CS_NONE, "Gain"},
    {IDC_GAIN_MAX, ControlKind::Static, "", 210, 126, 36, 8, CS_NONE, "Gain maximum"},
    SLIDER_GROUP(144, IDC_PHASE_GROUP, IDC_PHASE_CHECK, "&Sampling phase", IDC_PHASE_VALUE, IDC_PHASE_MIN,
                 IDC_PHASE_SLIDER, IDC_PHASE_MAX, "Sampling phase"),
    SLIDER_GROUP(184, IDC_PLL_GROUP, IDC_PLL_CHECK, "&PLL adjustment", IDC_PLL_VALUE, IDC_PLL_MIN, IDC_PLL_SLIDER,
                 IDC_PLL_MAX, "PLL adjustment"),
    {IDC_WIDE_MODE, ControlKind::CheckBox, "Prefer &wide VGA mode", 14, 226, 150, 10},
};
#undef SLIDER_GROUP

const DialogTemplate kTemplate = {IDD_ADJUSTMENTS_PAGE, nullptr, 260, 242, kControls};

struct Group {
    int check;
    uint32_t flag;
    std::vector<int> members;  // everything the checkbox enables, not the group box
};

const Group kGroups[] = {
    {IDC_HSHIFT_CHECK, ADJ_HSHIFT, {IDC_HSHIFT_SLIDER, IDC_HSHIFT_MIN, IDC_HSHIFT_MAX, IDC_HSHIFT_VALUE}},
    {IDC_VSHIFT_CHECK, ADJ_VSHIFT, {IDC_VSHIFT_SLIDER, IDC_VSHIFT_MIN, IDC_VSHIFT_MAX, IDC_VSHIFT_VALUE}},
    {IDC_OFFSET_GAIN_CHECK,
     ADJ_OFFSET_GAIN,
     {IDC_OFFSET_SLIDER, IDC_GAIN_SLIDER, IDC_OFFSET_MIN, IDC_OFFSET_MAX, IDC_GAIN_MIN, IDC_GAIN_MAX,
      IDC_OFFSET_CAPTION, IDC_GAIN_CAPTION, IDC_OFFSET_GAIN_VALUE}},
    {IDC_PHASE_CHECK, ADJ_PHASE, {IDC_PHASE_SLIDER, IDC_PHASE_MIN, IDC_PHASE_MAX, IDC_PHASE_VALUE}},
    {IDC_PLL_CHECK, ADJ_PLL, {IDC_PLL_SLIDER, IDC_PLL_MIN, IDC_PLL_MAX, IDC_PLL_VALUE}},
};

int SliderPosition(const QWidget *page, int id)
{
    auto *slider = PageItem<QSlider>(page, id);
    return slider ? slider->value() : 0;
}

void SetUpSlider(const QWidget *page, int slider, int minLabel, int maxLabel, const SliderRange &range,
                 int position)
{
    if (auto *s = PageItem<QSlider>(page, slider)) {
        s->setRange(range.min, range.max);
        s->setTickInterval(std::max(1, range.tickFrequency));
        s->setPageStep(std::max(1, range.tickFrequency));
        s->setValue(position);
    }
    if (auto *label = PageItem<QLabel>(page, minLabel))
        label->setText(QString::number(range.min));
    if (auto *label = PageItem<QLabel>(page, maxLabel))
        label->setText(QString::number(range.max));
}

}  // namespace

CAdjustmentsPage::CAdjustmentsPage(OptionsSheetData &data, QWidget *parent)
    : COptionsPage(IDD_ADJUSTMENTS_PAGE, QStringLiteral("Adjustments"), parent), m_data(data)
{
}

QSlider *CAdjustmentsPage::Slider(int id) const
{
    return PageItem<QSlider>(this, id);
}

void CAdjustmentsPage::OnInitDialog()
{
    InstantiateTemplate(this, kTemplate, MakePageControl);
    for (int id : {IDC_HSHIFT_VALUE, IDC_VSHIFT_VALUE, IDC_OFFSET_GAIN_VALUE, IDC_PHASE_VALUE, IDC_PLL_VALUE}) {
        if (auto *edit = PageItem<QLineEdit>(this, id))
            edit->setReadOnly(true);
    }
    m_loading = true;
    const VideoAdjustments &adj = m_data.adjustments;
    for (const Group &group : kGroups)
        SetChecked(this, group.check, (adj.flags & group.flag) != 0);
    SetChecked(this, IDC_WIDE_MODE, (adj.grab_flags & GRAB_PREFER_WIDE_MODE) != 0);

    if (IsShiftOnlyModel(m_data.serialNumber)) {
        ShowItems(this,
                  {IDC_OFFSET_GAIN_GROUP, IDC_OFFSET_GAIN_CHECK, IDC_OFFSET_GAIN_VALUE, IDC_OFFSET_CAPTION,
                   IDC_OFFSET_MIN, IDC_OFFSET_SLIDER, IDC_OFFSET_MAX, IDC_GAIN_CAPTION, IDC_GAIN_MIN,
                   IDC_GAIN_SLIDER, IDC_GAIN_MAX, IDC_PHASE_GROUP, IDC_PHASE_CHECK, IDC_PHASE_VALUE,
                   IDC_PHASE_MIN, IDC_PHASE_SLIDER, IDC_PHASE_MAX, IDC_PLL_GROUP, IDC_PLL_CHECK, IDC_PLL_VALUE,
                   IDC_PLL_MIN, IDC_PLL_SLIDER, IDC_PLL_MAX, IDC_WIDE_MODE},
                  false);
    }

    const AdjustmentRanges &r = m_data.ranges;
    auto device = [&](uint32_t flag) { return m_data.rangesValid == 1 && (r.valid_mask & flag) != 0; };
    SetUpSlider(this, IDC_HSHIFT_SLIDER, IDC_HSHIFT_MIN, IDC_HSHIFT_MAX,
                AdjustmentSliderRange(Adjustment::HorizontalShift, adj.hshift, device(ADJ_HSHIFT), r.hshift_min,
                                      r.hshift_max),
                adj.hshift);
    SetUpSlider(this, IDC_VSHIFT_SLIDER, IDC_VSHIFT_MIN, IDC_VSHIFT_MAX,
                AdjustmentSliderRange(Adjustment::VerticalShift, adj.vshift, device(ADJ_VSHIFT), r.vshift_min,
                                      r.vshift_max),
                adj.vshift);
    SetUpSlider(this, IDC_PHASE_SLIDER, IDC_PHASE_MIN, IDC_PHASE_MAX,
                AdjustmentSliderRange(Adjustment::SamplingPhase, adj.phase, device(ADJ_PHASE), r.phase_min,
                                      r.phase_max),
                adj.phase);
    SetUpSlider(this, IDC_PLL_SLIDER, IDC_PLL_MIN, IDC_PLL_MAX,
                AdjustmentSliderRange(Adjustment::Pll, adj.pll, device(ADJ_PLL), r.pll_min, r.pll_max), adj.pll);
    SliderRange offset = AdjustmentSliderRange(Adjustment::Offset, adj.offset[0], device(ADJ_OFFSET_GAIN),
                                               r.offset_min, r.offset_max);
    WidenForChannels(&offset, adj.offset[1], adj.offset[2]);
    SetUpSlider(this, IDC_OFFSET_SLIDER, IDC_OFFSET_MIN, IDC_OFFSET_MAX, offset, adj.offset[0]);
    SliderRange gain =
        AdjustmentSliderRange(Adjustment::Gain, adj.gain[0], device(ADJ_OFFSET_GAIN), r.gain_min, r.gain_max);
    WidenForChannels(&gain, adj.gain[1], adj.gain[2]);
    SetUpSlider(this, IDC_GAIN_SLIDER, IDC_GAIN_MIN, IDC_GAIN_MAX, gain, adj.gain[0]);
    m_loading = false;

    EnableGroups();
    RefreshValueBoxes();

    for (const Group &group : kGroups) {
        connect(PageItem<QCheckBox>(this, group.check), &QCheckBox::clicked, this, [this] {
            EnableGroups();
            RefreshValueBoxes();
            DetectChange();
        });
    }
    connect(PageItem<QCheckBox>(this, IDC_WIDE_MODE), &QCheckBox::clicked, this, [this] {
        EnableGroups();
        RefreshValueBoxes();
        DetectChange();
    });
    for (int id : {IDC_HSHIFT_SLIDER, IDC_VSHIFT_SLIDER, IDC_PHASE_SLIDER, IDC_PLL_SLIDER, IDC_OFFSET_SLIDER,
                   IDC_GAIN_SLIDER}) {
        QSlider *slider = PageItem<QSlider>(this, id);
        connect(slider, &QSlider::valueChanged, this, [this, slider] {
            RefreshValueBoxes();
            // A move that is not a drag (keys, page clicks) ends at once.
            if (!slider->isSliderDown())
                OnSliderEnd();
        });
        connect(slider, &QSlider::sliderReleased, this, &CAdjustmentsPage::OnSliderEnd);
    }
}

void CAdjustmentsPage::EnableGroups()
{
    for (const Group &group : kGroups)
        EnableItems(this, group.members, IsChecked(this, group.check));
}

void CAdjustmentsPage::RefreshValueBoxes()
{
    SetTextIfChanged(this, IDC_HSHIFT_VALUE, QString::number(SliderPosition(this, IDC_HSHIFT_SLIDER)));
    SetTextIfChanged(this, IDC_VSHIFT_VALUE, QString::number(SliderPosition(this, IDC_VSHIFT_SLIDER)));
    SetTextIfChanged(this, IDC_PHASE_VALUE, QString::number(SliderPosition(this, IDC_PHASE_SLIDER)));
    SetTextIfChanged(this, IDC_PLL_VALUE, QString::number(SliderPosition(this, IDC_PLL_SLIDER)));
    SetTextIfChanged(this, IDC_OFFSET_GAIN_VALUE,
                     QStringLiteral("%1/%2")
                         .arg(SliderPosition(this, IDC_OFFSET_SLIDER))
                         .arg(SliderPosition(this, IDC_GAIN_SLIDER)));
}

void CAdjustmentsPage::OnSliderEnd()
{
    if (!m_loading)
        DetectChange();
}

void CAdjustmentsPage::DetectChange()
{
    const VideoAdjustments &adj = m_data.adjustments;
    bool differs = false;
    for (const Group &group : kGroups)
        differs |= IsChecked(this, group.check) != ((adj.flags & group.flag) != 0);
    differs |= SliderPosition(this, IDC_HSHIFT_SLIDER) != adj.hshift;
    differs |= SliderPosition(this, IDC_VSHIFT_SLIDER) != adj.vshift;
    differs |= SliderPosition(this, IDC_PHASE_SLIDER) != adj.phase;
    differs |= SliderPosition(this, IDC_PLL_SLIDER) != adj.pll;
    differs |= SliderPosition(this, IDC_OFFSET_SLIDER) != adj.offset[0];
    differs |= SliderPosition(this, IDC_GAIN_SLIDER) != adj.gain[0];
    differs |= IsChecked(this, IDC_WIDE_MODE) != ((adj.grab_flags & GRAB_PREFER_WIDE_MODE) != 0);
    SetChanged(differs);
}

void CAdjustmentsPage::Apply()
{
    VideoAdjustments &adj = m_data.adjustments;
    adj.hshift = SliderPosition(this, IDC_HSHIFT_SLIDER);
    adj.vshift = SliderPosition(this, IDC_VSHIFT_SLIDER);
    adj.phase = uint8_t(SliderPosition(this, IDC_PHASE_SLIDER));
    adj.pll = SliderPosition(this, IDC_PLL_SLIDER);
    const auto gain = uint8_t(SliderPosition(this, IDC_GAIN_SLIDER));
    const auto offset = uint8_t(SliderPosition(this, IDC_OFFSET_SLIDER));
    for (int channel = 0; channel < 3; ++channel) {
        adj.gain[channel] = gain;
        adj.offset[channel] = offset;
    }
    for (const Group &group : kGroups) {
        if (IsChecked(this, group.check))
            adj.flags |= group.flag;
        else
            adj.flags &= ~group.flag;
    }
    adj.flags |= ADJ_GRAB_FLAGS;
    adj.grab_flag_mask |= GRAB_PREFER_WIDE_MODE;
    if (IsChecked(this, IDC_WIDE_MODE))
        adj.grab_flags |= GRAB_PREFER_WIDE_MODE;
    else
        adj.grab_flags &= ~GRAB_PREFER_WIDE_MODE;
    m_data.applied = 1;
    if (m_data.adjustmentsApply)
        m_data.adjustmentsApply(this, m_data);
}

}  // namespace Tessaline::Ui
