// What the application tests share: a private settings store, answers to message
// boxes, simulated appliances on loopback, and a main window over a document.
#pragma once

#include <app/ConfigApp.h>
#include <app/ConfigDoc.h>
#include <app/MainFrame.h>
#include <app/WebConfig.h>
#include <sim/Simulator.h>
#include <store/Device.h>
#include <store/DeviceList.h>
#include <store/Registry.h>
#include <ui/framework/Prompts.h>
#include <ui/framework/Timer.h>
#include <ui/listpane/DevicesListBox.h>
#include <ui/listpane/LeftPane.h>
#include <ui/properties/DevicePropertiesView.h>

#include <QDir>
#include <QTest>

#include <TempStore.h>
#include <WaitFor.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace AppTest {

// Brings the libraries up once for the whole binary, as the program does.
CConfigApp &Libraries();

// Waits, running the event loop, until pred holds or timeout_ms passes.
inline bool WaitFor(const std::function<bool()> &pred, int timeout_ms = 5000)
{
    return testsupport::WaitFor(pred, timeout_ms, [] { QTest::qWait(10); });
}

// Records every message box and answers with a chosen button.
class CAnswering final : public Tessaline::Ui::CPromptResponder {
public:
    int OnMessageBox(QWidget *, const QString &text, unsigned type) override
    {
        questions.push_back(text);
        types.push_back(type);
        return answer;
    }
    std::optional<int> OnModalDialog(QDialog *dialog) override
    {
        if (!modal)
            return std::nullopt;
        return modal(dialog);
    }
    std::function<std::optional<int>(QDialog *)> modal;
    std::vector<QString> questions;
    std::vector<unsigned> types;
    int answer = Tessaline::Ui::IDOK;
};

// A fresh store, prompt answers, browser launches recorded, a document with a list.
class AppFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A started device with a name and address, added to the document's list.
    CDevice *AddDevice(const std::string &name, const std::string &address);
    // Builds the main window over the document, runs the first update and shows it.
    void ShowFrame();

    CDeviceList &List() { return *m_doc->DeviceList(); }
    Tessaline::Ui::CLeftPane *Pane() { return m_frame->LeftPane(); }
    Tessaline::Ui::CDevicesListBox *Rows() { return m_frame->LeftPane()->ListBox(); }
    Tessaline::Ui::CDevicePropertiesView *Props() { return m_frame->PropertiesView(); }
    size_t ActiveCount();
    CDevice *ActiveAt(size_t index);
    void Screenshot(QWidget *widget, const QString &name);
    // What a new document loads from the store now: name, address and password of
    // each device, in list order.
    std::vector<std::vector<std::string>> StoredDevices();

    std::unique_ptr<testsupport::CTempStore> m_store;
    CAnswering m_answers;
    std::unique_ptr<Tessaline::Ui::CScopedPromptResponder> m_responder;
    std::vector<BrowserLaunch> m_launches;
    std::unique_ptr<CConfigDoc> m_doc;
    std::unique_ptr<CMainFrame> m_frame;
};

// Appliances on loopback addresses (127.0.0.2 upwards), grabber protocol only.
class SimAppliances {
public:
    ~SimAppliances() { m_sim.Stop(); }
    bool Start(std::vector<Sim::DeviceConfig> devices);
    // "a.b.c.d:port" of appliance i.
    std::string Address(size_t i) const;
    Sim::Simulator &Sim() { return m_sim; }

private:
    Sim::Simulator m_sim;
};

// A config on 127.0.0.(2 + index) with a system-chosen port, no HTTP, no discovery.
Sim::DeviceConfig Appliance(size_t index, const std::string &serial);

}  // namespace AppTest
