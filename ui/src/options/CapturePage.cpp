#include "ui/options/OptionsPages.h"

#include "PageControls.h"

namespace Tessaline::Ui {
namespace {

enum : int {
    IDC_PREFERRED = 33003,
    IDC_FORCE = 33004,
    IDC_FORMAT_LIST = 33005,
    IDC_AUDIO_LIST = 33006,
    IDC_VIDEO_GROUP = 33007,
    IDC_AUDIO_GROUP = 33008,
    IDC_AUDIO_CAPTION = 33009,
};

const ControlTemplate kVideoControls[] = {
    {IDC_VIDEO_GROUP, ControlKind::GroupBox, "Video", 7, 7, 246, 54},
    {IDC_PREFERRED, ControlKind::CheckBox, "Preferred format:", 14, 21, 90, 10},
    {IDC_FORMAT_LIST, ControlKind::Custom, COMBO_TAG, 110, 19, 80, 14, CS_NONE, "Preferred format"},
    {IDC_FORCE, ControlKind::CheckBox, "Force preferred video format (disable all other formats)", 14, 41, 234, 10},
};

const ControlTemplate kAudioControls[] = {
    {IDC_VIDEO_GROUP, ControlKind::GroupBox, "Video", 7, 7, 246, 54},
    {IDC_PREFERRED, ControlKind::CheckBox, "Preferred format:", 14, 21, 90, 10},
    {IDC_FORMAT_LIST, ControlKind::Custom, COMBO_TAG, 110, 19, 80, 14, CS_NONE, "Preferred format"},
    {IDC_FORCE, ControlKind::CheckBox, "Force preferred video format (disable all other formats)", 14, 41, 234, 10},
    {IDC_AUDIO_GROUP, ControlKind::GroupBox, "Audio", 7, 68, 246, 36},
    {IDC_AUDIO_CAPTION, ControlKind::Static, "Audio format:", 14, 84, 60, 8},
    {IDC_AUDIO_LIST, ControlKind::Custom, COMBO_TAG, 80, 82, 130, 14, CS_NONE, "Audio format"},
};

const DialogTemplate kVideoTemplate = {IDD_CAPTURE_PAGE_VIDEO_ONLY, nullptr, 260, 242, kVideoControls};
const DialogTemplate kAudioTemplate = {IDD_CAPTURE_PAGE, nullptr, 260, 242, kAudioControls};

}  // namespace

CCapturePage::CCapturePage(CaptureFormatOptions &options, std::function<void(CaptureFormatOptions &)> apply,
                           bool withAudio, QWidget *parent)
    : COptionsPage(withAudio ? IDD_CAPTURE_PAGE : IDD_CAPTURE_PAGE_VIDEO_ONLY, QStringLiteral("Capture"), parent),
      m_options(options), m_apply(std::move(apply))
{
}

void CCapturePage::OnInitDialog()
{
    InstantiateTemplate(this, DialogId() == IDD_CAPTURE_PAGE ? kAudioTemplate : kVideoTemplate, MakePageControl);
    auto *formats = PageItem<QComboBox>(this, IDC_FORMAT_LIST);
    for (const char *name : VIDEO_FORMAT_NAMES)
        formats->addItem(QString::fromLatin1(name));
    const bool preferred = m_options.preferredFormat >= 0 && m_options.preferredFormat < VIDEO_FORMAT_COUNT;
    formats->setCurrentIndex(preferred ? m_options.preferredFormat : 0);
    // A stored name that is none of the six reads as no preference, so "stored" and
    // "matched" agree here.
    SetChecked(this, IDC_PREFERRED, preferred);
    SetChecked(this, IDC_FORCE, preferred && (m_options.captureFlags & CAPTURE_FORCE_FORMAT));
    EnableItems(this, {IDC_FORCE, IDC_FORMAT_LIST}, preferred);

    if (auto *audio = PageItem<QComboBox>(this, IDC_AUDIO_LIST)) {
        int selected = -1;
        for (int i = 0; i < OFFERED_AUDIO_FORMAT_COUNT; ++i) {
            audio->addItem(QString::fromStdString(AudioFormatText(OFFERED_AUDIO_FORMATS[i])));
            if (OFFERED_AUDIO_FORMATS[i] == m_options.audio)
                selected = i;
        }
        audio->setCurrentIndex(selected);
        connect(audio, &QComboBox::activated, this, [this](int index) {
            if (index >= 0 && index < OFFERED_AUDIO_FORMAT_COUNT)
                SetChanged(true);
        });
    }
    connect(PageItem<QCheckBox>(this, IDC_PREFERRED), &QCheckBox::clicked, this, &CCapturePage::OnPreferredClicked);
    connect(PageItem<QCheckBox>(this, IDC_FORCE), &QCheckBox::clicked, this, [this] { SetChanged(true); });
    connect(formats, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < VIDEO_FORMAT_COUNT)
            SetChanged(true);
    });
}

void CCapturePage::OnPreferredClicked()
{
    const bool on = IsChecked(this, IDC_PREFERRED);
    EnableItems(this, {IDC_FORMAT_LIST, IDC_FORCE}, on);
    if (!on)
        SetChecked(this, IDC_FORCE, false);
    SetChanged(true);
}

void CCapturePage::Apply()
{
    m_options.captureFlags &= ~CAPTURE_FORCE_FORMAT;
    m_options.preferredFormat = -1;
    const int selected = PageItem<QComboBox>(this, IDC_FORMAT_LIST)->currentIndex();
    if (IsChecked(this, IDC_PREFERRED) && selected >= 0 && selected < VIDEO_FORMAT_COUNT) {
        m_options.preferredFormat = selected;
        if (IsChecked(this, IDC_FORCE))
            m_options.captureFlags |= CAPTURE_FORCE_FORMAT;
    }
    if (auto *audio = PageItem<QComboBox>(this, IDC_AUDIO_LIST)) {
        const int row = audio->currentIndex();
        m_options.audio = row >= 0 && row < OFFERED_AUDIO_FORMAT_COUNT ? OFFERED_AUDIO_FORMATS[row]
                                                                      : AudioFormat{2, 16, 22050, 1};
    }
    m_options.applied = 1;
    if (m_apply)
        m_apply(m_options);
}

}  // namespace Tessaline::Ui
