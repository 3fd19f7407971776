// The options sheet against devices connected through the device record's worker.
// The device at the other end is a CDeviceIO of this file that keeps its picture
// adjustments as an appliance does; the store is a real SQLite file.
#include "../options/BitmapBuilder.h"
#include <TempStore.h>
#include <WaitFor.h>

#include <discovery/Discovery.h>
#include <options/OptionValues.h>
#include <store/Device.h>
#include <store/Registry.h>
#include <ui/framework/DialogTemplate.h>
#include <ui/framework/Prompts.h>
#include <ui/options/OptionsPages.h>
#include <ui/options/OptionsSheet.h>

#include "../../ui/src/options/PageControls.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

using namespace Tessaline::Ui;

namespace {

struct ApplianceState {
    std::mutex mutex;
    bool captureSource = true;
    bool audio = false;
    bool answersAdjustments = true;
    std::string serial = "TS0001";
    VideoAdjustments adjustments{};
    AdjustmentRanges ranges{};
    int setCalls = 0;
};

// An appliance reached through the grabber: answers with its own state.
class CApplianceIO final : public CDeviceIO {
public:
    explicit CApplianceIO(ApplianceState &state) : m_state(state), m_serial(state.serial) {}
    bool IsCaptureSource() override { return m_state.captureSource; }
    LoginStatus GetLoginStatus() override { return LoginOpen; }
    LoginStatus Login(const char *) override { return LoginOpen; }
    LoginStatus Login(CCredentialsSource &) override { return LoginOpen; }
    void GetAddress(AddressRecord *address) override { *address = MakeAddressRecord(0x7F000002, 5557); }
    bool IsPasswordRequired() override { return false; }
    bool HasAudio() override { return m_state.audio; }
    uint16_t GetDeviceType() override { return m_state.captureSource ? 3 : 7; }
    const char *GetSerialNumber() override { return m_serial.c_str(); }
    const char *GetModelName() override { return "Test grabber"; }
    bool GetAdjustments(VideoAdjustments *adjustments, AdjustmentRanges *ranges) override
    {
        std::lock_guard<std::mutex> lock(m_state.mutex);
        if (!m_state.answersAdjustments)
            return false;
        if (adjustments)
            *adjustments = m_state.adjustments;
        if (ranges)
            *ranges = m_state.ranges;
        return true;
    }
    bool SetAdjustments(const VideoAdjustments &adjustments) override
    {
        std::lock_guard<std::mutex> lock(m_state.mutex);
        m_state.adjustments = adjustments;
        ++m_state.setCalls;
        return true;
    }
    const char *GetDeviceName(std::string *buffer) override
    {
        if (!buffer)
            return nullptr;
        *buffer = "Bench grabber";
        return buffer->c_str();
    }
    bool SetDeviceName(const char *) override { return true; }
    bool GetVideoMode(VideoMode *mode) override
    {
        if (mode)
            *mode = VideoMode{1280, 1024, 60000};
        return true;
    }
    bool DetectVideoMode(VideoMode *mode) override { return GetVideoMode(mode); }
    Ambry::Ref<CFrame> GrabFrame() override { return nullptr; }

private:
    ApplianceState &m_state;
    std::string m_serial;
};

Ambry::Ref<CDeviceIO> OpenAppliance(const char *, const AddressRecord &, void *context)
{
    return Ambry::Adopt<CDeviceIO>(new CApplianceIO(*static_cast<ApplianceState *>(context)));
}

// Answers file dialogs and message boxes as a user would.
class CUser final : public CPromptResponder {
public:
    int OnMessageBox(QWidget *, const QString &text, unsigned) override
    {
        messages.push_back(text);
        titles.push_back(QString());
        return IDOK;
    }
    int OnTitledMessageBox(QWidget *parent, const QString &text, const QString &title, unsigned type) override
    {
        OnMessageBox(parent, text, type);
        titles.back() = title;
        return IDOK;
    }
    std::optional<QString> OnFileDialog(QWidget *, bool, const QString &, const QString &directory,
                                        const QString &filter) override
    {
        ++fileDialogs;
        lastDirectory = directory;
        lastFilter = filter;
        return nextFile;
    }
    std::vector<QString> messages;
    std::vector<QString> titles;
    int fileDialogs = 0;
    QString lastDirectory;
    QString lastFilter;
    std::optional<QString> nextFile;
};

template <class T>
T *Control(QWidget *page, int id)
{
    T *control = qobject_cast<T *>(GetDlgItem(page, id));
    EXPECT_NE(control, nullptr) << "control " << id;
    return control;
}

class OptionsSheetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_store = std::make_unique<testsupport::CTempStore>("tessaline-sheet");
        m_dir = m_store->Dir();
        InstallDirectShowOptionsCodec();
        SetDeviceIOOpener(&OpenAppliance, &m_appliance);
    }
    void TearDown() override
    {
        m_session.reset();
        if (m_device)
            m_device->Stop();
        m_device.reset();
        SetDeviceIOOpener(nullptr, nullptr);
        m_store.reset();
    }

    // A device found on the loopback network whose worker has connected and stored
    // its record.
    CDevice *ConnectDevice()
    {
        DiscoveryRecord record;
        record.address = 0x7F000002;
        record.device_type = m_appliance.captureSource ? 3 : 7;
        std::snprintf(record.serial_number, sizeof record.serial_number, "%s", m_appliance.serial.c_str());
        m_device = CDevice::CreateNew(&record);
        EXPECT_TRUE(m_device);
        EXPECT_TRUE(testsupport::WaitFor([&] { return m_device->HasConnection(); }, 10000));
        return m_device.get();
    }
    HKEY OpenParameters(const char *which)
    {
        const std::string path = std::string("CLSID\\") + m_device->GuidText() + "\\" + which;
        return OpenKey(HKEY_CLASSES_ROOT, path.c_str(), KEY_ALL_ACCESS);
    }
    COptionsSheet *Open()
    {
        m_session = BuildOptionsSheet(nullptr, m_device.get());
        return m_session ? m_session->sheet.get() : nullptr;
    }
    COptionsPage *PageById(int dialogId)
    {
        COptionsSheet *sheet = m_session->sheet.get();
        for (int i = 0; i < sheet->PageCount(); ++i) {
            if (sheet->Page(i)->DialogId() == dialogId) {
                sheet->SetCurrentPage(i);
                return sheet->Page(i);
            }
        }
        return nullptr;
    }
    std::string WriteBitmap(const char *name, const testbmp::Picture &description)
    {
        const std::string path = (m_dir / name).string();
        testbmp::Write(path, testbmp::Build(description));
        return path;
    }
    void Screenshot(COptionsSheet *sheet, const char *name)
    {
        const QString dir = QStringLiteral(TESSALINE_BINARY_DIR "/screenshots");
        QDir().mkpath(dir);
        sheet->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet));
        ASSERT_TRUE(sheet->grab().save(dir + "/" + name));
    }

    std::unique_ptr<testsupport::CTempStore> m_store;
    std::filesystem::path m_dir;
    ApplianceState m_appliance;
    Ambry::Ref<CDevice> m_device;
    std::unique_ptr<OptionsSheetSession> m_session;
};

// ---- assembling ----

TEST_F(OptionsSheetTest, OfflineDeviceThatIsNoCaptureSourceGetsNoSheet)
{
    Ambry::Ref<CDevice> offline = CDevice::LoadFromStore(CGuidRecord::Create().Guid());
    ASSERT_TRUE(offline);
    EXPECT_EQ(BuildOptionsSheet(nullptr, offline.get()), nullptr);
    EXPECT_FALSE(ShowOptionsSheet(nullptr, offline.get()));
}

TEST_F(OptionsSheetTest, PagesFollowWhatTheDeviceOffers)
{
    ConnectDevice();
    COptionsSheet *sheet = Open();
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->windowTitle(), QStringLiteral("Setting for Bench grabber"));
    ASSERT_EQ(sheet->PageCount(), 3);
    EXPECT_EQ(sheet->Page(0)->DialogId(), IDD_ADJUSTMENTS_PAGE);
    EXPECT_EQ(sheet->Page(1)->DialogId(), IDD_DIRECTSHOW_PAGE);
    EXPECT_EQ(sheet->Page(2)->DialogId(), IDD_CAPTURE_PAGE_VIDEO_ONLY);  // no "AudioParameters"
    EXPECT_TRUE(sheet->Page(0)->IsBuilt());
    EXPECT_FALSE(sheet->Page(1)->IsBuilt());  // built on first display
    EXPECT_FALSE(sheet->ApplyButton()->isEnabled());
}

TEST_F(OptionsSheetTest, AudioDeviceGetsTheAudioGroupAndNonCaptureSourceOnlyAdjustments)
{
    m_appliance.audio = true;
    ConnectDevice();
    COptionsSheet *sheet = Open();
    ASSERT_EQ(sheet->PageCount(), 3);
    EXPECT_EQ(sheet->Page(2)->DialogId(), IDD_CAPTURE_PAGE);
    m_session.reset();
    m_device->Stop();

    ApplianceState plain;
    plain.captureSource = false;
    SetDeviceIOOpener(&OpenAppliance, &plain);
    m_appliance.captureSource = false;
    ConnectDevice();
    sheet = Open();
    ASSERT_EQ(sheet->PageCount(), 1);
    EXPECT_EQ(sheet->Page(0)->DialogId(), IDD_ADJUSTMENTS_PAGE);
}

// ---- adjustments ----

TEST_F(OptionsSheetTest, AdjustmentRangesWithoutDeviceRanges)
{
    m_appliance.adjustments.hshift = 150;
    m_appliance.adjustments.phase = 40;
    m_appliance.adjustments.flags = ADJ_HSHIFT;
    ConnectDevice();
    Open();
    COptionsPage *page = PageById(IDD_ADJUSTMENTS_PAGE);
    QSlider *hshift = Control<QSlider>(page, 30010);
    EXPECT_EQ(hshift->minimum(), -100);
    EXPECT_EQ(hshift->maximum(), 150);
    EXPECT_EQ(hshift->tickInterval(), 12);
    EXPECT_EQ(hshift->value(), 150);
    EXPECT_EQ(Control<QLabel>(page, 30011)->text(), "-100");
    QSlider *phase = Control<QSlider>(page, 30002);
    EXPECT_EQ(phase->minimum(), 0);
    EXPECT_EQ(phase->maximum(), 40);
    EXPECT_EQ(Control<QLineEdit>(page, 30029)->text(), "150");
    EXPECT_TRUE(hshift->isEnabled());
    EXPECT_FALSE(phase->isEnabled());  // its group is not checked
    EXPECT_TRUE(Control<QCheckBox>(page, 30001)->isEnabled());
}

TEST_F(OptionsSheetTest, ShiftOnlyModelShowsTheTwoShiftGroups)
{
    m_appliance.serial = "K7Q12345";
    ConnectDevice();
    COptionsSheet *sheet = Open();
    COptionsPage *page = PageById(IDD_ADJUSTMENTS_PAGE);
    sheet->show();
    for (int hidden : {30017, 30018, 30019, 30031, 30036, 30001, 30002, 30033, 30005, 30006, 30034, 30026})
        EXPECT_FALSE(GetDlgItem(page, hidden)->isVisible()) << hidden;
    for (int shown : {30009, 30010, 30035, 30013, 30014, 30032})
        EXPECT_TRUE(GetDlgItem(page, shown)->isVisible()) << shown;
}

TEST_F(OptionsSheetTest, GainAppliedToEveryChannelOfTheDevice)
{
    m_appliance.adjustments.flags = ADJ_OFFSET_GAIN;
    m_appliance.adjustments.gain[0] = 100;
    m_appliance.adjustments.gain[1] = 90;
    m_appliance.adjustments.gain[2] = 80;
    m_appliance.adjustments.offset[0] = 10;
    m_appliance.ranges.valid_mask = ADJ_OFFSET_GAIN;
    m_appliance.ranges.gain_min = 0;
    m_appliance.ranges.gain_max = 255;
    m_appliance.ranges.offset_min = 0;
    m_appliance.ranges.offset_max = 127;
    ConnectDevice();
    COptionsSheet *sheet = Open();
    COptionsPage *page = PageById(IDD_ADJUSTMENTS_PAGE);
    EXPECT_EQ(Control<QLineEdit>(page, 30031)->text(), "10/100");

    Control<QSlider>(page, 30019)->setValue(200);
    EXPECT_EQ(Control<QLineEdit>(page, 30031)->text(), "10/200");
    EXPECT_TRUE(sheet->ApplyButton()->isEnabled());
    Control<QSlider>(page, 30019)->setValue(100);  // back where it was
    EXPECT_FALSE(sheet->ApplyButton()->isEnabled());
    Control<QSlider>(page, 30019)->setValue(200);
    Control<QCheckBox>(page, 30026)->click();  // prefer wide mode
    sheet->ApplyButton()->click();

    std::lock_guard<std::mutex> lock(m_appliance.mutex);
    EXPECT_EQ(m_appliance.setCalls, 1);
    const VideoAdjustments &sent = m_appliance.adjustments;
    EXPECT_EQ(sent.gain[0], 200);
    EXPECT_EQ(sent.gain[1], 200);
    EXPECT_EQ(sent.gain[2], 200);
    EXPECT_EQ(sent.offset[1], 10);
    EXPECT_EQ(sent.flags, uint32_t(ADJ_OFFSET_GAIN | ADJ_GRAB_FLAGS));
    EXPECT_EQ(sent.grab_flag_mask, GRAB_PREFER_WIDE_MODE);
    EXPECT_EQ(sent.grab_flags, GRAB_PREFER_WIDE_MODE);
    EXPECT_FALSE(sheet->ApplyButton()->isEnabled());
}

TEST_F(OptionsSheetTest, CancelAppliesNothingAndUnshownPagesNeverApply)
{
    ConnectDevice();
    COptionsSheet *sheet = Open();
    COptionsPage *page = PageById(IDD_ADJUSTMENTS_PAGE);
    Control<QCheckBox>(page, 30009)->click();
    sheet->CancelButton()->click();
    {
        std::lock_guard<std::mutex> lock(m_appliance.mutex);
        EXPECT_EQ(m_appliance.setCalls, 0);
    }
    EXPECT_FALSE(m_session->Applied());

    CKey video(OpenParameters("VideoParameters"));
    ASSERT_TRUE(WriteText(video.get(), "Colorspace", "UYVY"));
    Open();
    m_session->sheet->OkButton()->click();  // only the first page was shown
    std::string name;
    ASSERT_TRUE(ReadText(video.get(), "Colorspace", &name));
    EXPECT_EQ(name, "UYVY");
    EXPECT_FALSE(ValueExists(video.get(), "ForceColorspace"));
    EXPECT_TRUE(m_session->Applied());
}

// ---- capture ----

TEST_F(OptionsSheetTest, CapturePagePreferenceAndForceBox)
{
    ConnectDevice();
    CKey video(OpenParameters("VideoParameters"));
    ASSERT_TRUE(WriteText(video.get(), "Colorspace", "RGB24"));
    Open();
    COptionsPage *page = PageById(IDD_CAPTURE_PAGE_VIDEO_ONLY);
    EXPECT_TRUE(Control<QCheckBox>(page, 33003)->isChecked());
    EXPECT_EQ(Control<QComboBox>(page, 33005)->currentIndex(), 5);
    EXPECT_TRUE(Control<QComboBox>(page, 33005)->isEnabled());
    EXPECT_EQ(GetDlgItem(page, 33006), nullptr);

    ASSERT_TRUE(DeleteValue(video.get(), "Colorspace"));
    Open();
    page = PageById(IDD_CAPTURE_PAGE_VIDEO_ONLY);
    EXPECT_FALSE(Control<QCheckBox>(page, 33003)->isChecked());
    EXPECT_EQ(Control<QComboBox>(page, 33005)->currentIndex(), 0);
    EXPECT_FALSE(Control<QComboBox>(page, 33005)->isEnabled());
    EXPECT_FALSE(Control<QCheckBox>(page, 33004)->isChecked());
    EXPECT_FALSE(Control<QCheckBox>(page, 33004)->isEnabled());

    Control<QCheckBox>(page, 33003)->click();
    EXPECT_TRUE(m_session->sheet->ApplyButton()->isEnabled());
    Control<QCheckBox>(page, 33004)->click();
    QTest::keyClick(Control<QComboBox>(page, 33005), Qt::Key_Down);  // UYVY
    m_session->sheet->ApplyButton()->click();
    std::string name;
    ASSERT_TRUE(ReadText(video.get(), "Colorspace", &name));
    EXPECT_EQ(name, "UYVY");
    uint32_t force = 0;
    ASSERT_TRUE(ReadDword(video.get(), "ForceColorspace", &force));
    EXPECT_EQ(force, 1u);

    Control<QCheckBox>(page, 33003)->click();  // unchecking clears the force box too
    EXPECT_FALSE(Control<QCheckBox>(page, 33004)->isChecked());
    m_session->sheet->ApplyButton()->click();
    EXPECT_FALSE(ValueExists(video.get(), "Colorspace"));
    ASSERT_TRUE(ReadDword(video.get(), "ForceColorspace", &force));
    EXPECT_EQ(force, 0u);
}

TEST_F(OptionsSheetTest, UnofferedAudioFormatAppliesAsTheDefault)
{
    m_appliance.audio = true;
    ConnectDevice();
    CKey audio(OpenParameters("AudioParameters"));
    ASSERT_TRUE(audio);
    ASSERT_TRUE(WriteDword(audio.get(), "Frequency", 8000));
    ASSERT_TRUE(WriteDword(audio.get(), "Channels", 1));
    Open();
    COptionsPage *page = PageById(IDD_CAPTURE_PAGE);
    QComboBox *list = Control<QComboBox>(page, 33006);
    ASSERT_EQ(list->count(), 8);
    EXPECT_EQ(list->itemText(3), "22050 Hz, Stereo, 16-bit");
    EXPECT_EQ(list->currentIndex(), -1);
    m_session->sheet->OkButton()->click();
    uint32_t v = 0;
    ASSERT_TRUE(ReadDword(audio.get(), "Frequency", &v));
    EXPECT_EQ(v, 22050u);
    ASSERT_TRUE(ReadDword(audio.get(), "Channels", &v));
    EXPECT_EQ(v, 2u);
    ASSERT_TRUE(ReadDword(audio.get(), "BitsPerSample", &v));
    EXPECT_EQ(v, 16u);
}

// ---- DirectShow ----

TEST_F(OptionsSheetTest, StoredResolutionOutsideTheListAndScaleCodeWithoutPosition)
{
    ConnectDevice();
    DirectShowOptions options;
    m_device->GetDirectShowOptions(&options);
    options.flags |= OPT_FIXED_RESOLUTION;
    options.fixedWidth = 1366;
    options.fixedHeight = 768;
    options.scaleMode = 7;
    ASSERT_TRUE(m_device->ApplyDirectShowOptions(options));
    Open();
    COptionsPage *page = PageById(IDD_DIRECTSHOW_PAGE);
    QComboBox *list = Control<QComboBox>(page, 30053);
    ASSERT_EQ(list->count(), 24);
    EXPECT_EQ(list->itemText(23), "1366 x 768");
    EXPECT_EQ(list->currentIndex(), 23);
    EXPECT_TRUE(Control<QCheckBox>(page, 30058)->isChecked());
    EXPECT_EQ(Control<QSlider>(page, 30059)->value(), 3);
    EXPECT_EQ(Control<QLineEdit>(page, 30063)->text(), "Bilinear");
    EXPECT_FALSE(m_session->sheet->ApplyButton()->isEnabled());

    Control<QCheckBox>(page, 30051)->click();
    EXPECT_EQ(list->currentIndex(), -1);
    EXPECT_TRUE(m_session->sheet->ApplyButton()->isEnabled());
    Control<QCheckBox>(page, 30051)->click();
    m_session->sheet->OkButton()->click();
    m_device->GetDirectShowOptions(&options);
    EXPECT_EQ(options.scaleMode, 4);
    EXPECT_EQ(options.fixedWidth, 1366);
    CKey video(OpenParameters("VideoParameters"));
    uint32_t v = 0;
    ASSERT_TRUE(ReadDword(video.get(), "ScaleMode", &v));
    EXPECT_EQ(v, 4u);
    ASSERT_TRUE(ReadDword(video.get(), "FixedResolution", &v));
    EXPECT_EQ(v, (1366u << 16) | 768u);
}

TEST_F(OptionsSheetTest, FixingTheResolutionOfANewDeviceOffersARealSize)
{
    ConnectDevice();  // a new record: no fixed size yet (0 x 0)
    Open();
    COptionsPage *page = PageById(IDD_DIRECTSHOW_PAGE);
    QComboBox *list = Control<QComboBox>(page, 30053);
    EXPECT_EQ(list->count(), 23);  // no "0 x 0" entry
    EXPECT_EQ(list->currentIndex(), -1);
    Control<QCheckBox>(page, 30051)->click();
    EXPECT_EQ(list->currentText(), "480 x 240");
    EXPECT_TRUE(m_session->sheet->ApplyButton()->isEnabled());
    m_session->sheet->OkButton()->click();
    CKey video(OpenParameters("VideoParameters"));
    uint32_t v = 0;
    ASSERT_TRUE(ReadDword(video.get(), "FixedResolution", &v));
    EXPECT_EQ(v, (480u << 16) | 240u);  // not 0, which a later read would ignore
}

TEST_F(OptionsSheetTest, FrameRateTypingClampingAndSteps)
{
    ConnectDevice();
    DirectShowOptions options;
    m_device->GetDirectShowOptions(&options);
    options.flags |= OPT_LIMIT_FPS | OPT_FIX_FPS;
    options.maxFps = 29.97f;
    ASSERT_TRUE(m_device->ApplyDirectShowOptions(options));
    Open();
    auto *page = static_cast<CDirectShowPage *>(PageById(IDD_DIRECTSHOW_PAGE));
    QLineEdit *rate = Control<QLineEdit>(page, 30065);
    auto *upDown = static_cast<CUpDown *>(GetDlgItem(page, 30066));
    // The page writes the user's decimal point (the test may run in any locale).
    const auto shown = [](QString text) { return text.replace('.', QLocale().decimalPoint()); };
    EXPECT_EQ(rate->text(), shown("29.97"));
    upDown->UpButton()->click();
    EXPECT_FLOAT_EQ(page->FrameRate(), 30.97f);
    EXPECT_EQ(rate->text(), shown("30.97"));

    rate->clear();
    QTest::keyClicks(rate, "59.5");
    EXPECT_FLOAT_EQ(page->FrameRate(), 59.5f);
    upDown->UpButton()->click();
    EXPECT_FLOAT_EQ(page->FrameRate(), 60.0f);
    EXPECT_EQ(rate->text(), "60");

    rate->clear();
    QTest::keyClicks(rate, "75");
    m_session->sheet->ApplyButton()->click();
    m_device->GetDirectShowOptions(&options);
    EXPECT_FLOAT_EQ(options.maxFps, 60.0f);
    EXPECT_EQ(rate->text(), "60");

    rate->clear();
    QTest::keyClicks(rate, "0");
    rate->setText("abc");  // ignored: the rate stays 0 until apply clamps it
    EXPECT_FLOAT_EQ(page->FrameRate(), 0.0f);
    m_session->sheet->ApplyButton()->click();
    m_device->GetDirectShowOptions(&options);
    EXPECT_FLOAT_EQ(options.maxFps, 0.01f);
    CKey video(OpenParameters("VideoParameters"));
    uint32_t v = 0;
    ASSERT_TRUE(ReadDword(video.get(), "MaxFps", &v));
    EXPECT_EQ(v, 3000u);

    QCheckBox *limit = Control<QCheckBox>(page, 30064);
    QCheckBox *fix = Control<QCheckBox>(page, 30069);
    ASSERT_TRUE(fix->isChecked());
    limit->click();
    EXPECT_FALSE(fix->isChecked());
    EXPECT_FALSE(fix->isEnabled());
    EXPECT_TRUE(rate->text().isEmpty());
    limit->click();
    EXPECT_TRUE(fix->isChecked());
}

TEST_F(OptionsSheetTest, NoSignalImageChoice)
{
    ConnectDevice();
    CUser user;
    CScopedPromptResponder answer(&user);
    Open();
    COptionsPage *page = PageById(IDD_DIRECTSHOW_PAGE);
    QCheckBox *image = Control<QCheckBox>(page, 30054);
    ASSERT_FALSE(image->isChecked());

    image->click();  // empty path: the file dialog opens at once; cancelled
    EXPECT_EQ(user.fileDialogs, 1);
    EXPECT_EQ(user.lastFilter, "Bitmap Files (*.bmp)");
    EXPECT_FALSE(image->isChecked());

    testbmp::Picture odd;
    odd.width = 641;
    user.nextFile = QString::fromStdString(WriteBitmap("odd.bmp", odd));
    image->click();
    ASSERT_EQ(user.messages.size(), 1u);
    EXPECT_EQ(user.messages[0], "File " + *user.nextFile +
                                    " is not compatible with Pellucor driver because its width (641) is not "
                                    "divisible by 2. Please choose a different file.");
    EXPECT_EQ(user.titles[0], "DirectShow Options");
    EXPECT_TRUE(Control<QLineEdit>(page, 30056)->text().isEmpty());

    testbmp::Picture rle;
    rle.bitCount = 8;
    rle.compression = 1;
    rle.paletteEntries = rle.coloursUsed = 256;
    testbmp::Picture mono;
    mono.bitCount = 1;
    mono.paletteEntries = mono.coloursUsed = 2;
    const std::string truncated = WriteBitmap("short.bmp", testbmp::Picture{});
    std::filesystem::resize_file(truncated, 60);
    for (const std::string &bad : {WriteBitmap("rle.bmp", rle), WriteBitmap("mono.bmp", mono), truncated}) {
        user.messages.clear();
        user.nextFile = QString::fromStdString(bad);
        Control<QPushButton>(page, 30057)->click();
        ASSERT_EQ(user.messages.size(), 1u) << bad;
        EXPECT_EQ(user.messages[0], "File " + *user.nextFile +
                                        " is not compatible with Pellucor driver. It must be a non-compressed "
                                        "Windows bitmap file. Please choose a different file.");
    }

    testbmp::Picture good;
    good.width = 640;
    good.height = 4;
    user.nextFile = QString::fromStdString(WriteBitmap("good.bmp", good));
    Control<QPushButton>(page, 30057)->click();
    EXPECT_EQ(Control<QLineEdit>(page, 30056)->text(), *user.nextFile);
    const QString chosen = *user.nextFile;
    user.nextFile.reset();
    Control<QPushButton>(page, 30057)->click();  // opens in the folder of the image; cancelled
    EXPECT_EQ(user.lastDirectory, QString::fromStdString(m_dir.string()));
    EXPECT_TRUE(image->isChecked());
    EXPECT_EQ(Control<QLineEdit>(page, 30056)->text(), chosen);
    user.nextFile = chosen;
    EXPECT_TRUE(m_session->sheet->ApplyButton()->isEnabled());
    m_session->sheet->OkButton()->click();

    CKey video(OpenParameters("VideoParameters"));
    std::string text;
    ASSERT_TRUE(ReadText(video.get(), "BMPNoSignal", &text));
    EXPECT_EQ(text, "\\??\\" + user.nextFile->toStdString());

    // A stored image that no longer validates is dropped when the page opens.
    std::filesystem::resize_file(user.nextFile->toStdString(), 70);
    Open();
    page = PageById(IDD_DIRECTSHOW_PAGE);
    EXPECT_FALSE(Control<QCheckBox>(page, 30054)->isChecked());
}

TEST_F(OptionsSheetTest, ScreenshotsOfEveryPage)
{
    m_appliance.audio = true;
    m_appliance.adjustments.flags = ADJ_HSHIFT | ADJ_OFFSET_GAIN;
    m_appliance.adjustments.gain[0] = m_appliance.adjustments.gain[1] = m_appliance.adjustments.gain[2] = 128;
    m_appliance.adjustments.offset[0] = m_appliance.adjustments.offset[1] = m_appliance.adjustments.offset[2] = 32;
    ConnectDevice();
    CKey video(OpenParameters("VideoParameters"));
    ASSERT_TRUE(WriteDword(video.get(), "OperationMode", 0x200));
    ASSERT_TRUE(WriteDword(video.get(), "MaxFps", 2997));
    ASSERT_TRUE(WriteText(video.get(), "Colorspace", "YUY2"));
    DirectShowOptions options;
    m_device->GetDirectShowOptions(&options);
    ReadDirectShowOptions(video.get(), &options);
    ASSERT_TRUE(m_device->ApplyDirectShowOptions(options));
    COptionsSheet *sheet = Open();
    const char *names[] = {"options_adjustments.png", "options_directshow.png", "options_capture.png"};
    for (int i = 0; i < sheet->PageCount(); ++i) {
        sheet->SetCurrentPage(i);
        Screenshot(sheet, names[i]);
    }
}

}  // namespace
