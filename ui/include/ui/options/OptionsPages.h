// The options sheet and its pages, for the sheet's entry point and for tests.
//
// The sheet is a modal dialog with tabs and OK / Cancel / Apply. A page is built on
// its first display (its controls come from its dialog template then); OK and
// Apply hand the apply step to every page built so far, Cancel to none. Each apply
// writes at once: adjustments to the device, option values to the store.
#pragma once

#include <ambry/RefCount.h>
#include <grabber/Records.h>
#include <options/CaptureOptions.h>
#include <store/Device.h>
#include <store/Registry.h>

#include <QDialog>
#include <QPointer>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class CDevice;
class QComboBox;
class QPushButton;
class QSlider;
class QTabWidget;

namespace Tessaline::Ui {

class COptionsSheet;
struct OptionsSheetData;

// Apply step of a page: called with the page and the data it edited.
using SheetApplyCallback = std::function<void(QWidget *page, OptionsSheetData &data)>;

// What the pages of one sheet share.
struct OptionsSheetData {
    VideoAdjustments adjustments{};
    DirectShowOptions directShow{};
    SheetApplyCallback adjustmentsApply;
    SheetApplyCallback directShowApply;
    AdjustmentRanges ranges{};
    char serialNumber[33] = {};  // the first 32 bytes of the device's serial number
    uint32_t rangesValid = 0;
    uint32_t applied = 0;
    Ambry::Ref<CDevice> device;
};

// Dialog ids of the pages.
enum : int {
    IDD_ADJUSTMENTS_PAGE = 30000,
    IDD_DIRECTSHOW_PAGE = 30050,
    IDD_CAPTURE_PAGE = 33000,
    IDD_CAPTURE_PAGE_VIDEO_ONLY = 33002,
};

// One page of the sheet.
class COptionsPage : public QWidget {
    Q_OBJECT
public:
    COptionsPage(int dialogId, QString title, QWidget *parent = nullptr);
    int DialogId() const { return m_dialogId; }
    const QString &Title() const { return m_title; }
    bool IsBuilt() const { return m_built; }
    // Builds the controls from the template and loads them (once).
    void Build();
    // Copies the controls into the page's data and calls its apply callback.
    virtual void Apply() = 0;

signals:
    // The page differs from its data (true) or no longer does (false).
    void changed(bool differs);

protected:
    virtual void OnInitDialog() = 0;
    QWidget *Item(int id) const;
    void SetChanged(bool differs) { emit changed(differs); }

private:
    int m_dialogId;
    QString m_title;
    bool m_built = false;
};

class COptionsSheet : public QDialog {
    Q_OBJECT
public:
    // "Setting for <name>".
    COptionsSheet(const QString &deviceName, QWidget *parent = nullptr);
    ~COptionsSheet() override;

    // Adds a page (the sheet owns it). The first page added is shown first.
    void AddPage(COptionsPage *page);
    int PageCount() const;
    COptionsPage *Page(int index) const;
    // Shows page `index` (building it on its first display).
    void SetCurrentPage(int index);

    QPushButton *OkButton() const { return m_ok; }
    QPushButton *CancelButton() const { return m_cancel; }
    QPushButton *ApplyButton() const { return m_apply; }

    // Applies every built page; the Apply button goes back to disabled.
    void ApplyPages();

private:
    void OnPageChanged(COptionsPage *page, bool differs);
    void OnTabShown(int index);

    QTabWidget *m_tabs = nullptr;
    QPushButton *m_ok = nullptr;
    QPushButton *m_cancel = nullptr;
    QPushButton *m_apply = nullptr;
    std::vector<COptionsPage *> m_pages;
    std::vector<COptionsPage *> m_changedPages;
};

// ---- the three pages ----

class CAdjustmentsPage final : public COptionsPage {
    Q_OBJECT
public:
    explicit CAdjustmentsPage(OptionsSheetData &data, QWidget *parent = nullptr);
    void Apply() override;
    QSlider *Slider(int id) const;

protected:
    void OnInitDialog() override;

private:
    void EnableGroups();
    void RefreshValueBoxes();
    void DetectChange();
    void OnSliderEnd();

    OptionsSheetData &m_data;
    bool m_loading = false;
};

class CDirectShowPage final : public COptionsPage {
    Q_OBJECT
public:
    explicit CDirectShowPage(OptionsSheetData &data, QWidget *parent = nullptr);
    void Apply() override;
    // The rate being edited (may be outside 0.01..60 until applied).
    float FrameRate() const { return m_frameRate; }
    // The image path being edited (UTF-8).
    const QString &ImagePath() const { return m_imagePath; }

protected:
    void OnInitDialog() override;

private:
    void EnableResolution();
    void EnableImage();
    void EnableFrameRateLimit();
    void EnableScaling();
    void RefreshFrameRateText();
    void DetectChange();
    void Browse();
    void OnResolutionSelected(int index);
    void OnFrameRateEdited(const QString &text);
    void OnUpDown(int position);

    OptionsSheetData &m_data;
    int m_chosenWidth = 0;
    int m_chosenHeight = 0;
    float m_frameRate = 0.0f;
    bool m_rememberedFixFrameRate = false;
    QString m_imagePath;
    char m_decimalPoint = '.';
    bool m_settingText = false;
};

class CCapturePage final : public COptionsPage {
    Q_OBJECT
public:
    // withAudio: the page with the audio group (33000), else video only (33002).
    CCapturePage(CaptureFormatOptions &options, std::function<void(CaptureFormatOptions &)> apply,
                 bool withAudio, QWidget *parent = nullptr);
    void Apply() override;

protected:
    void OnInitDialog() override;

private:
    void OnPreferredClicked();

    CaptureFormatOptions &m_options;
    std::function<void(CaptureFormatOptions &)> m_apply;
};

// Builds the sheet for a device: the pages that qualify, filled from the device and
// the store. Returns none when no page qualifies. The keys in `keys` stay open for
// the sheet's lifetime (the caller owns both).
struct OptionsSheetSession {
    std::unique_ptr<OptionsSheetData> data;
    std::unique_ptr<CaptureFormatOptions> capture;
    CKey deviceKey;
    CKey videoKey;
    CKey audioKey;
    std::unique_ptr<COptionsSheet> sheet;
    // True when any page applied.
    bool Applied() const;
};
[[nodiscard]] std::unique_ptr<OptionsSheetSession> BuildOptionsSheet(QWidget *parent, CDevice *device);

// Registers the strings of the options pages (idempotent).
void RegisterOptionsStrings();

}  // namespace Tessaline::Ui
