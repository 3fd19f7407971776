#include "ui/options/OptionsSheet.h"

#include "ui/options/OptionsPages.h"

#include <ambry/NetworkWait.h>
#include <options/OptionValues.h>
#include <store/Device.h>
#include <ui/framework/DialogTemplate.h>
#include <ui/framework/Prompts.h>
#include <ui/framework/StringTable.h>

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>

namespace Tessaline::Ui {
namespace {

// Device records read and write their DirectShow options through the option-values
// code. The hook is installed while the program starts, before any device list can
// load, by every program that can open this sheet.
[[maybe_unused]] const bool g_codecInstalled = [] {
    InstallDirectShowOptionsCodec();
    return true;
}();
// Size of every page, dialog units.
constexpr int kPageWidthDu = 260;
constexpr int kPageHeightDu = 242;
}  // namespace

// ---- pages ----

COptionsPage::COptionsPage(int dialogId, QString title, QWidget *parent)
    : QWidget(parent), m_dialogId(dialogId), m_title(std::move(title))
{
    // Every page of the sheet has the same size, so switching pages keeps the sheet still.
    setMinimumSize(MapDialogRect(this, QRect(0, 0, kPageWidthDu, kPageHeightDu)).size());
}

void COptionsPage::Build()
{
    if (m_built)
        return;
    m_built = true;
    OnInitDialog();
}

QWidget *COptionsPage::Item(int id) const
{
    return GetDlgItem(this, id);
}

// ---- sheet ----

COptionsSheet::COptionsSheet(const QString &deviceName, QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Setting for %1").arg(deviceName));
    setModal(true);
    auto *layout = new QVBoxLayout(this);
    m_tabs = new QTabWidget(this);
    layout->addWidget(m_tabs);
    auto *buttons = new QDialogButtonBox(this);
    m_ok = buttons->addButton(QDialogButtonBox::Ok);
    m_cancel = buttons->addButton(QDialogButtonBox::Cancel);
    m_apply = buttons->addButton(QDialogButtonBox::Apply);
    m_apply->setEnabled(false);
    layout->addWidget(buttons);
    connect(m_ok, &QPushButton::clicked, this, [this] {
        ApplyPages();
        accept();
    });
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_apply, &QPushButton::clicked, this, &COptionsSheet::ApplyPages);
    connect(m_tabs, &QTabWidget::currentChanged, this, &COptionsSheet::OnTabShown);
}

COptionsSheet::~COptionsSheet() = default;

void COptionsSheet::AddPage(COptionsPage *page)
{
    m_pages.push_back(page);
    connect(page, &COptionsPage::changed, this, [this, page](bool differs) { OnPageChanged(page, differs); });
    m_tabs->addTab(page, page->Title());
    if (m_pages.size() == 1)
        page->Build();
}

int COptionsSheet::PageCount() const
{
    return int(m_pages.size());
}

COptionsPage *COptionsSheet::Page(int index) const
{
    return index >= 0 && index < PageCount() ? m_pages[size_t(index)] : nullptr;
}

void COptionsSheet::SetCurrentPage(int index)
{
    m_tabs->setCurrentIndex(index);
    OnTabShown(index);
}

void COptionsSheet::OnTabShown(int index)
{
    if (COptionsPage *page = Page(index))
        page->Build();
}

void COptionsSheet::OnPageChanged(COptionsPage *page, bool differs)
{
    auto it = std::find(m_changedPages.begin(), m_changedPages.end(), page);
    if (differs && it == m_changedPages.end())
        m_changedPages.push_back(page);
    else if (!differs && it != m_changedPages.end())
        m_changedPages.erase(it);
    m_apply->setEnabled(!m_changedPages.empty());
}

void COptionsSheet::ApplyPages()
{
    for (COptionsPage *page : m_pages) {
        if (page->IsBuilt())
            page->Apply();
    }
    m_changedPages.clear();
    m_apply->setEnabled(false);
}

// ---- assembling ----

bool OptionsSheetSession::Applied() const
{
    return (data && data->applied) || (capture && capture->applied);
}

std::unique_ptr<OptionsSheetSession> BuildOptionsSheet(QWidget *parent, CDevice *device)
{
    if (!device)
        return nullptr;
    RegisterOptionsStrings();
    auto session = std::make_unique<OptionsSheetSession>();
    session->data = std::make_unique<OptionsSheetData>();
    OptionsSheetData &data = *session->data;
    data.device = Ambry::Retain(device);
    const std::string serial = device->GetSerialNumber();
    std::memcpy(data.serialNumber, serial.data(), std::min(serial.size(), sizeof data.serialNumber - 1));

    std::vector<COptionsPage *> pages;
    // The picture adjustments are the one exchange with the device this thread makes
    // itself: the device answers them at once.
    Ambry::CAllowNetworkWaits adjustments;
    if (device->GetAdjustments(&data.adjustments, &data.ranges)) {
        data.rangesValid = 1;
        data.adjustmentsApply = [](QWidget *, OptionsSheetData &d) {
            Ambry::CAllowNetworkWaits apply;
            (void)d.device->SetAdjustments(d.adjustments);
            // Show the new settings in the preview.
            d.device->RequestFrame(false);
        };
        pages.push_back(new CAdjustmentsPage(data));
    }

    bool withAudio = false;
    if (device->IsCaptureSource()) {
        device->GetDirectShowOptions(&data.directShow);
        data.directShowApply = [](QWidget *, OptionsSheetData &d) {
            (void)d.device->ApplyDirectShowOptions(d.directShow);
        };
        pages.push_back(new CDirectShowPage(data));

        const std::string path = std::string(CLSID_KEY_PATH) + "\\" + device->GuidText();
        session->deviceKey = CKey(OpenKey(HKEY_CLASSES_ROOT, path.c_str(), KEY_ALL_ACCESS));
        if (session->deviceKey) {
            session->videoKey = CKey(OpenKey(session->deviceKey.get(), "VideoParameters", KEY_ALL_ACCESS));
            session->audioKey = CKey(OpenKey(session->deviceKey.get(), "AudioParameters", KEY_ALL_ACCESS));
        }
        if (session->videoKey) {
            session->capture = std::make_unique<CaptureFormatOptions>();
            CaptureFormatOptions &capture = *session->capture;
            capture.videoKey = session->videoKey.get();
            capture.audioKey = session->audioKey.get();
            if (capture.audioKey)
                capture.audio = AudioFormat{2, 16, 22050, 1};
            ReadCaptureFormats(&capture);
            withAudio = capture.audioKey != nullptr;
            pages.push_back(new CCapturePage(
                capture, [](CaptureFormatOptions &c) { (void)WriteCaptureFormats(c); }, withAudio));
        }
    }
    if (pages.empty())
        return nullptr;

    session->sheet = std::make_unique<COptionsSheet>(QString::fromStdString(device->GetDisplayName()), parent);
    for (COptionsPage *page : pages)
        session->sheet->AddPage(page);
    return session;
}

bool ShowOptionsSheet(QWidget *parent, CDevice *device)
{
    std::unique_ptr<OptionsSheetSession> session = BuildOptionsSheet(parent, device);
    if (!session)
        return false;
    RunModal(session->sheet.get());
    const bool applied = session->Applied();
    // The sheet goes before the keys its pages write through.
    session->sheet.reset();
    return applied;
}

// ---- strings ----

void RegisterOptionsStrings()
{
    static const StringEntry kStrings[] = {
        {30260, "No Resizing"},
        {30261, "Pixel resize"},
        {30262, "Weighted average"},
        {30263, "Fast bilinear"},
        {30264, "Bilinear"},
        {30265, "Bicubic"},
        {30266, "Experimental"},
        {30267, "Nearest neighbour"},
        {30268, "Weighted average"},
        {30269, "Luma bicubic, chroma bilinear"},
        {30270, "Sinc"},
        {30271, "Lanczos"},
        {30272, "Natural bicubic spline"},
        {30280, "DirectShow Options"},
        {30281, "File %1!ls! is not compatible with Pellucor driver because its width (%2!d!) is not divisible "
                "by 2. Please choose a different file."},
        {30282, "File %1!ls! is not compatible with Pellucor driver. It must be a non-compressed Windows bitmap "
                "file. Please choose a different file."},
    };
    static const bool registered = [] {
        RegisterStringTable(kStrings);
        return true;
    }();
    (void)registered;
}

}  // namespace Tessaline::Ui
