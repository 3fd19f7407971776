#include "AppTest.h"

#include <ambry/Net.h>

#include <QApplication>

#include <cstdlib>

namespace AppTest {

namespace {

// The libraries go down when the tests end, before the process's exit handlers run
// (the grabber library's threads must be stopped by then).
class CLibrariesEnvironment final : public ::testing::Environment {
public:
    void TearDown() override { app.reset(); }
    std::unique_ptr<CConfigApp> app;
};

CLibrariesEnvironment *const g_libraries =
    static_cast<CLibrariesEnvironment *>(::testing::AddGlobalTestEnvironment(new CLibrariesEnvironment));

}  // namespace

CConfigApp &Libraries()
{
    if (!g_libraries->app) {
        g_libraries->app = std::make_unique<CConfigApp>();
        UseDialogFont();
    }
    return *g_libraries->app;
}

void AppFixture::SetUp()
{
    Libraries();
    m_store = std::make_unique<testsupport::CTempStore>("tsl-app");
    m_responder = std::make_unique<Tessaline::Ui::CScopedPromptResponder>(&m_answers);
    SetBrowserSpawner([this](const BrowserLaunch &launch) {
        m_launches.push_back(launch);
        return 4242;
    });
    m_doc = std::make_unique<CConfigDoc>();
}

void AppFixture::TearDown()
{
    m_frame.reset();
    m_doc.reset();
    SetBrowserSpawner({});
    m_responder.reset();
    Tessaline::Ui::SetTimerScalePercent(100);
    m_store.reset();
}

CDevice *AppFixture::AddDevice(const std::string &name, const std::string &address)
{
    Ambry::Ref<CDevice> device = CDevice::CreateNew();
    EXPECT_TRUE(device);
    device->SetName(name.c_str());
    device->SetAddress(address.c_str());
    List().Add(device.get());
    return device.get();
}

void AppFixture::ShowFrame()
{
    m_frame = std::make_unique<CMainFrame>(m_doc.get());
    m_doc->SendInitialUpdate();
    m_frame->show();
    QCoreApplication::processEvents();
}

size_t AppFixture::ActiveCount()
{
    Ambry::CLock lock(List().Mutex());
    return List().Active().Count();
}

CDevice *AppFixture::ActiveAt(size_t index)
{
    Ambry::CLock lock(List().Mutex());
    return List().Active().At(index);
}

void AppFixture::Screenshot(QWidget *widget, const QString &name)
{
    const QString dir = QStringLiteral(TESSALINE_BINARY_DIR "/screenshots");
    QDir().mkpath(dir);
    widget->grab().save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
}

std::vector<std::vector<std::string>> AppFixture::StoredDevices()
{
    CConfigDoc reloaded;
    EXPECT_TRUE(reloaded.OnNewDocument());
    std::vector<std::vector<std::string>> devices;
    Ambry::CLock lock(reloaded.DeviceList()->Mutex());
    CDeviceSet &active = reloaded.DeviceList()->Active();
    for (size_t i = 0; i < active.Count(); ++i)
        devices.push_back({active.At(i)->GetName(), active.At(i)->GetAddress(), active.At(i)->GetPassword()});
    return devices;
}

bool SimAppliances::Start(std::vector<Sim::DeviceConfig> devices)
{
    std::string error;
    const bool started = m_sim.Start(devices, &error);
    EXPECT_TRUE(started) << error;
    return started;
}

std::string SimAppliances::Address(size_t i) const
{
    const Sim::Endpoints ends = m_sim.Ports(i);
    char ip[16];
    Ambry::FormatIPv4(ends.address, ip);
    return std::string(ip) + ":" + std::to_string(ends.port);
}

Sim::DeviceConfig Appliance(size_t index, const std::string &serial)
{
    Sim::DeviceConfig config;
    config.address = (127u << 24) | static_cast<uint32_t>(2 + index);
    config.port = 0;
    config.http_port = -1;
    config.udp_port = -1;
    config.serial = serial;
    return config;
}

}  // namespace AppTest
