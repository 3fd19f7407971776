#include "ui/options/OptionsPages.h"

#include "PageControls.h"

#include <options/BitmapCheck.h>
#include <options/OptionValues.h>
#include <options/PageRules.h>
#include <ui/framework/Prompts.h>
#include <ui/framework/StringTable.h>

#include <QFile>
#include <QLocale>

#include <cmath>

namespace Tessaline::Ui {
namespace {

enum : int {
    IDC_FIX_RESOLUTION = 30051,
    IDC_RESOLUTION_NOTE = 30052,
    IDC_RESOLUTION_LIST = 30053,
    IDC_DEFAULT_IMAGE = 30054,
    IDC_IMAGE_NOTE = 30055,
    IDC_IMAGE_PATH = 30056,
    IDC_BROWSE = 30057,
    IDC_SCALE = 30058,
    IDC_SCALE_SLIDER = 30059,
    IDC_SCALE_LOW = 30060,
    IDC_SCALE_HIGH = 30061,
    IDC_ALGORITHM_CAPTION = 30062,
    IDC_ALGORITHM = 30063,
    IDC_LIMIT_FPS = 30064,
    IDC_FPS = 30065,
    IDC_FPS_UPDOWN = 30066,
    IDC_FPS_UNIT = 30067,
    IDC_FLIP = 30068,
    IDC_FIX_FPS = 30069,
};

enum : unsigned {
    IDS_DIRECTSHOW_OPTIONS = 30280,
    IDS_ODD_WIDTH = 30281,
    IDS_NOT_A_BITMAP = 30282,
};

constexpr int kUpDownMax = 60;
// The file dialog's name buffer: longer paths cannot be kept.
constexpr int kPathUnits = NO_SIGNAL_PATH_UNITS;

const ControlTemplate kControls[] = {
    {IDC_FIX_RESOLUTION, ControlKind::CheckBox, "&Fix resolution", 7, 7, 120, 10},
    {IDC_RESOLUTION_LIST, ControlKind::Custom, COMBO_TAG, 150, 5, 100, 14, CS_NONE, "Resolution"},
    {IDC_RESOLUTION_NOTE, ControlKind::Static,
     "This resolution will be reported to DirectShow instead of the actual VGA/DVI resolution.", 18, 21, 235, 16},
    {IDC_DEFAULT_IMAGE, ControlKind::CheckBox, "&Default image", 7, 42, 120, 10},
    {IDC_IMAGE_NOTE, ControlKind::Static,
     "This image will be sent to DirectShow in case if there's no signal.The image must be in non-compressed BMP "
     "format.",
     18, 55, 235, 16},
    {IDC_IMAGE_PATH, ControlKind::Edit, "", 18, 74, 178, 12, CS_NONE, "Image file"},
    {IDC_BROWSE, ControlKind::PushButton, "&Browse...", 200, 73, 52, 14},
    {IDC_SCALE, ControlKind::CheckBox, "&Scale image to match stream resolution", 7, 96, 220, 10},
    {IDC_SCALE_LOW, ControlKind::Static, "Lowest quality\nBest speed", 18, 110, 56, 18},
    {IDC_SCALE_SLIDER, ControlKind::Custom, TRACKBAR_TAG, 76, 110, 118, 16, CS_NONE, "Scaling algorithm"},
    {IDC_SCALE_HIGH, ControlKind::Static, "Best quality\nLowest speed", 198, 110, 56, 18},
    {IDC_ALGORITHM_CAPTION, ControlKind::Static, "Algorithm:", 18, 134, 40, 8},
    {IDC_ALGORITHM, ControlKind::Edit, "", 60, 132, 134, 12, CS_NONE, "Algorithm"},
    {IDC_FLIP, ControlKind::CheckBox, "Flip image &vertically", 7, 154, 160, 10},
    {IDC_LIMIT_FPS, ControlKind::CheckBox, "&Limit frame rate to", 7, 172, 84, 10},
    {IDC_FPS, ControlKind::Edit, "", 92, 170, 36, 12, CS_NONE, "Frame rate"},
    {IDC_FPS_UPDOWN, ControlKind::Custom, UPDOWN_TAG, 128, 170, 10, 12, CS_NONE, "Frame rate steps"},
    {IDC_FPS_UNIT, ControlKind::Static, "fps", 142, 172, 20, 8},
    {IDC_FIX_FPS, ControlKind::CheckBox, "Fix frame rate (some frames may be duplicated or missed)", 18, 188, 235,
     10},
};

const DialogTemplate kTemplate = {IDD_DIRECTSHOW_PAGE, nullptr, 260, 242, kControls};

QString StoredPath(const DirectShowOptions &options)
{
    return QString::fromStdString(NoSignalPathUtf8(options));
}

// The size of a usable no-signal image, or nothing.
std::optional<BitmapSize> CheckImage(const QString &path)
{
    BitmapSize size;
    if (path.isEmpty() || !ValidateBitmapFile(QFile::encodeName(path).toStdString(), &size))
        return std::nullopt;
    return size;
}

// Nonzero sizes that fit the stored value: only these can be reported.
bool IsReportableSize(int width, int height)
{
    return width > 0 && height > 0 && width <= 0xFFFF && height <= 0xFFFF;
}

}  // namespace

CDirectShowPage::CDirectShowPage(OptionsSheetData &data, QWidget *parent)
    : COptionsPage(IDD_DIRECTSHOW_PAGE, QStringLiteral("DirectShow"), parent), m_data(data)
{
}

void CDirectShowPage::OnInitDialog()
{
    InstantiateTemplate(this, kTemplate, MakePageControl);
    for (int id : {IDC_IMAGE_PATH, IDC_ALGORITHM}) {
        if (auto *edit = PageItem<QLineEdit>(this, id))
            edit->setReadOnly(true);
    }
    const DirectShowOptions &stored = m_data.directShow;
    m_chosenWidth = stored.fixedWidth;
    m_chosenHeight = stored.fixedHeight;
    m_frameRate = stored.maxFps;
    const QString point = QLocale().decimalPoint();
    m_decimalPoint = point.size() == 1 && point[0].unicode() < 0x80 ? char(point[0].unicode()) : '.';
    const QString storedPath = StoredPath(stored);
    if (auto size = CheckImage(storedPath); size && size->width % 2 == 0)
        m_imagePath = storedPath;

    auto *list = PageItem<QComboBox>(this, IDC_RESOLUTION_LIST);
    for (const Resolution &r : STANDARD_RESOLUTIONS)
        list->addItem(QString::fromStdString(ResolutionText(r.width, r.height)), ResolutionItemData(r.width, r.height));
    if (StandardResolutionIndex(stored.fixedWidth, stored.fixedHeight) < 0 &&
        IsReportableSize(stored.fixedWidth, stored.fixedHeight)) {
        list->addItem(QString::fromStdString(ResolutionText(stored.fixedWidth, stored.fixedHeight)),
                      ResolutionItemData(stored.fixedWidth, stored.fixedHeight));
    }

    SetChecked(this, IDC_SCALE, stored.scaleMode != SCALE_MODE_NONE);
    auto *slider = PageItem<QSlider>(this, IDC_SCALE_SLIDER);
    slider->setRange(0, SCALE_SLIDER_POSITIONS - 1);
    slider->setTickInterval(1);
    slider->setPageStep(1);
    const int position = ScalePositionOfCode(stored.scaleMode);
    slider->setValue(position >= 0 ? position : SCALE_SLIDER_UNOFFERED_POSITION);

    SetChecked(this, IDC_FIX_RESOLUTION, (stored.flags & OPT_FIXED_RESOLUTION) != 0);
    SetChecked(this, IDC_DEFAULT_IMAGE, (stored.flags & OPT_NO_SIGNAL_IMAGE) && !m_imagePath.isEmpty());
    auto *upDown = static_cast<CUpDown *>(Item(IDC_FPS_UPDOWN));
    upDown->SetRange(0, kUpDownMax);
    upDown->SetPosition(UpDownPositionOfRate(m_frameRate));
    SetChecked(this, IDC_LIMIT_FPS, (stored.flags & OPT_LIMIT_FPS) != 0);
    SetChecked(this, IDC_FIX_FPS, (stored.flags & OPT_FIX_FPS) != 0);
    SetChecked(this, IDC_FLIP, (stored.flags & OPT_FLIP_VERTICAL) != 0);
    m_rememberedFixFrameRate = (stored.flags & OPT_FIX_FPS) != 0;

    EnableResolution();
    EnableImage();
    EnableFrameRateLimit();
    EnableScaling();

    auto onClick = [this](int id, auto &&action) {
        connect(PageItem<QAbstractButton>(this, id), &QAbstractButton::clicked, this, [this, action] {
            action();
            DetectChange();
        });
    };
    onClick(IDC_FIX_RESOLUTION, [this] { EnableResolution(); });
    onClick(IDC_DEFAULT_IMAGE, [this] {
        EnableImage();
        if (IsChecked(this, IDC_DEFAULT_IMAGE) && PageItem<QLineEdit>(this, IDC_IMAGE_PATH)->text().isEmpty())
            Browse();
    });
    onClick(IDC_BROWSE, [this] { Browse(); });
    onClick(IDC_SCALE, [this] { EnableScaling(); });
    onClick(IDC_LIMIT_FPS, [this] {
        EnableFrameRateLimit();
        if (IsChecked(this, IDC_LIMIT_FPS) && m_rememberedFixFrameRate)
            SetChecked(this, IDC_FIX_FPS, true);
    });
    onClick(IDC_FIX_FPS, [this] { m_rememberedFixFrameRate = IsChecked(this, IDC_FIX_FPS); });
    onClick(IDC_FLIP, [] {});
    connect(list, &QComboBox::activated, this, &CDirectShowPage::OnResolutionSelected);
    connect(PageItem<QLineEdit>(this, IDC_FPS), &QLineEdit::textChanged, this, &CDirectShowPage::OnFrameRateEdited);
    connect(upDown, &CUpDown::positionChanged, this, &CDirectShowPage::OnUpDown);
    connect(slider, &QSlider::valueChanged, this, [this, slider] {
        EnableScaling();
        if (!slider->isSliderDown())
            DetectChange();
    });
    connect(slider, &QSlider::sliderReleased, this, &CDirectShowPage::DetectChange);
}

void CDirectShowPage::EnableResolution()
{
    const bool on = IsChecked(this, IDC_FIX_RESOLUTION);
    EnableItems(this, {IDC_RESOLUTION_NOTE, IDC_RESOLUTION_LIST}, on);
    auto *list = PageItem<QComboBox>(this, IDC_RESOLUTION_LIST);
    if (!on) {
        list->setCurrentIndex(-1);
        return;
    }
    int index = StandardResolutionIndex(m_chosenWidth, m_chosenHeight);
    if (index < 0 && list->count() > STANDARD_RESOLUTION_COUNT)
        index = STANDARD_RESOLUTION_COUNT;
    if (index < 0) {
        // No size stored yet: offer the first entry rather than nothing.
        index = 0;
        OnResolutionSelected(index);
    }
    list->setCurrentIndex(index);
}

void CDirectShowPage::EnableImage()
{
    const bool on = IsChecked(this, IDC_DEFAULT_IMAGE);
    EnableItems(this, {IDC_IMAGE_PATH, IDC_IMAGE_NOTE, IDC_BROWSE}, on);
    SetTextIfChanged(this, IDC_IMAGE_PATH, on ? m_imagePath : QString());
}

void CDirectShowPage::EnableFrameRateLimit()
{
    const bool on = IsChecked(this, IDC_LIMIT_FPS);
    EnableItems(this, {IDC_FPS, IDC_FPS_UPDOWN, IDC_FPS_UNIT, IDC_FIX_FPS}, on);
    if (!on)
        SetChecked(this, IDC_FIX_FPS, false);
    RefreshFrameRateText();
}

void CDirectShowPage::EnableScaling()
{
    const bool on = IsChecked(this, IDC_SCALE);
    EnableItems(this, {IDC_SCALE_SLIDER, IDC_SCALE_LOW, IDC_SCALE_HIGH, IDC_ALGORITHM_CAPTION, IDC_ALGORITHM}, on);
    const int position = PageItem<QSlider>(this, IDC_SCALE_SLIDER)->value();
    SetTextIfChanged(this, IDC_ALGORITHM,
                     on ? LoadString(SCALE_MODE_STRING_BASE + unsigned(ScaleCodeAtPosition(position))) : QString());
}

void CDirectShowPage::RefreshFrameRateText()
{
    auto *edit = PageItem<QLineEdit>(this, IDC_FPS);
    const QString text = IsChecked(this, IDC_LIMIT_FPS)
                             ? QString::fromStdString(FrameRateText(m_frameRate, m_decimalPoint))
                             : QString();
    if (edit->text() != text)
        edit->setText(text);
    static_cast<CUpDown *>(Item(IDC_FPS_UPDOWN))->SetPosition(UpDownPositionOfRate(m_frameRate));
}

void CDirectShowPage::OnResolutionSelected(int index)
{
    auto *list = PageItem<QComboBox>(this, IDC_RESOLUTION_LIST);
    if (index < 0 || index >= list->count())
        return;
    const Resolution r = ResolutionOfItemData(list->itemData(index).toUInt());
    m_chosenWidth = r.width;
    m_chosenHeight = r.height;
    DetectChange();
}

void CDirectShowPage::OnFrameRateEdited(const QString &text)
{
    const std::optional<float> rate = ParseFrameRate(text.toStdString(), m_decimalPoint);
    if (!rate)
        return;
    m_frameRate = *rate;
    static_cast<CUpDown *>(Item(IDC_FPS_UPDOWN))->SetPosition(UpDownPositionOfRate(m_frameRate));
    DetectChange();
}

void CDirectShowPage::OnUpDown(int position)
{
    const float rate = RateAtUpDownPosition(m_frameRate, position);
    if (rate == m_frameRate)
        return;
    m_frameRate = rate;
    RefreshFrameRateText();
    DetectChange();
}

void CDirectShowPage::Browse()
{
    QString folder;
    const qsizetype cut = std::max(m_imagePath.lastIndexOf(u'/'), m_imagePath.lastIndexOf(u'\\'));
    if (cut >= 0)
        folder = m_imagePath.left(cut);
    const std::optional<QString> chosen =
        GetOpenFileName(this, QString(), folder, QStringLiteral("Bitmap Files (*.bmp)"));
    if (chosen && chosen->size() < kPathUnits) {
        const std::optional<BitmapSize> size = CheckImage(*chosen);
        if (size && size->width % 2 == 0) {
            m_imagePath = *chosen;
        } else if (size) {
            MessageBox(this,
                       FormatMessageText(LoadString(IDS_ODD_WIDTH), {*chosen, int64_t(size->width)})
                           .value_or(LoadString(IDS_DIRECTSHOW_OPTIONS)),
                       LoadString(IDS_DIRECTSHOW_OPTIONS), MB_OK | MB_ICONERROR);
        } else {
            MessageBox(this,
                       FormatMessageText(LoadString(IDS_NOT_A_BITMAP), {*chosen})
                           .value_or(LoadString(IDS_DIRECTSHOW_OPTIONS)),
                       LoadString(IDS_DIRECTSHOW_OPTIONS), MB_OK | MB_ICONERROR);
        }
    } else if (!chosen && m_imagePath.isEmpty()) {
        SetChecked(this, IDC_DEFAULT_IMAGE, false);
    }
    EnableImage();
}

void CDirectShowPage::DetectChange()
{
    const DirectShowOptions &stored = m_data.directShow;
    bool differs = false;

    auto *list = PageItem<QComboBox>(this, IDC_RESOLUTION_LIST);
    const bool fixed = (stored.flags & OPT_FIXED_RESOLUTION) != 0;
    if (IsChecked(this, IDC_FIX_RESOLUTION)) {
        if (list->currentIndex() >= 0) {
            const Resolution r = ResolutionOfItemData(list->currentData().toUInt());
            differs |= r.width != stored.fixedWidth || r.height != stored.fixedHeight || !fixed;
        }
    } else {
        differs |= fixed;
    }

    const bool image = (stored.flags & OPT_NO_SIGNAL_IMAGE) != 0;
    const bool imageChecked = IsChecked(this, IDC_DEFAULT_IMAGE);
    const bool imageSame = (imageChecked && image && m_imagePath.compare(StoredPath(stored), Qt::CaseInsensitive) == 0) ||
                           (!imageChecked && !image);
    differs |= !imageSame;

    const int position = PageItem<QSlider>(this, IDC_SCALE_SLIDER)->value();
    const bool scaleChecked = IsChecked(this, IDC_SCALE);
    const bool scaleSame =
        (scaleChecked && stored.scaleMode != SCALE_MODE_NONE &&
         (position >= SCALE_SLIDER_POSITIONS || stored.scaleMode == ScaleCodeAtPosition(position))) ||
        (!scaleChecked && stored.scaleMode == SCALE_MODE_NONE);
    differs |= !scaleSame;

    differs |= IsChecked(this, IDC_LIMIT_FPS) != ((stored.flags & OPT_LIMIT_FPS) != 0);
    differs |= IsChecked(this, IDC_FIX_FPS) != ((stored.flags & OPT_FIX_FPS) != 0);
    differs |= IsChecked(this, IDC_FLIP) != ((stored.flags & OPT_FLIP_VERTICAL) != 0);
    differs |= (stored.flags & OPT_LIMIT_FPS) && stored.maxFps != m_frameRate;
    SetChanged(differs);
}

void CDirectShowPage::Apply()
{
    DirectShowOptions &options = m_data.directShow;
    const float clamped = ClampFrameRate(m_frameRate);
    if (clamped != m_frameRate) {
        m_frameRate = clamped;
        RefreshFrameRateText();
    }
    options.maxFps = m_frameRate;

    auto follow = [&options](bool on, uint32_t flag) {
        if (on)
            options.flags |= flag;
        else
            options.flags &= ~flag;
    };
    follow(IsChecked(this, IDC_LIMIT_FPS), OPT_LIMIT_FPS);
    follow(IsChecked(this, IDC_FIX_FPS), OPT_FIX_FPS);
    follow(IsChecked(this, IDC_FLIP), OPT_FLIP_VERTICAL);

    if (IsChecked(this, IDC_FIX_RESOLUTION)) {
        auto *list = PageItem<QComboBox>(this, IDC_RESOLUTION_LIST);
        if (list->currentIndex() >= 0) {
            const Resolution r = ResolutionOfItemData(list->currentData().toUInt());
            options.fixedWidth = r.width;
            options.fixedHeight = r.height;
        }
        options.flags |= OPT_FIXED_RESOLUTION;
    } else {
        options.flags &= ~OPT_FIXED_RESOLUTION;
    }

    if (IsChecked(this, IDC_DEFAULT_IMAGE) && SetNoSignalPath(&options, m_imagePath.toStdString()))
        options.flags |= OPT_NO_SIGNAL_IMAGE;
    else
        options.flags &= ~OPT_NO_SIGNAL_IMAGE;

    options.scaleMode =
        IsChecked(this, IDC_SCALE) ? ScaleCodeAtPosition(PageItem<QSlider>(this, IDC_SCALE_SLIDER)->value())
                                   : SCALE_MODE_NONE;
    m_data.applied = 1;
    if (m_data.directShowApply)
        m_data.directShowApply(this, m_data);
}

}  // namespace Tessaline::Ui
