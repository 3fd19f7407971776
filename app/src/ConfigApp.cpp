#include "app/ConfigApp.h"

#include "app/ConfigDoc.h"
#include "app/MainFrame.h"
#include "app/Strings.h"

#include <ambry/Module.h>
#include <ambry/Net.h>
#include <ambry/NetworkWait.h>
#include <grabber/Grabber.h>

#include <QApplication>
#include <QFont>

void UseDialogFont()
{
    QFont font = QApplication::font();
    font.setFamilies({QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans Narrow"),
                      QStringLiteral("Sans Serif")});
    font.setPointSize(8);
    QApplication::setFont(font);
}

CConfigApp::CConfigApp()
{
    Ambry::CoreStart();
    Grabber::Startup();
    // Counted: balanced by the NetStop at exit whether or not the grabber library
    // holds a start of its own.
    Ambry::NetStart();
}

CConfigApp::~CConfigApp()
{
    ExitInstance();
    Grabber::Shutdown();
    Ambry::NetStop();
    Ambry::CoreStop();
}

bool CConfigApp::InitInstance()
{
    // This thread runs the window: devices are reached from their own workers.
    Ambry::ForbidNetworkWaits();
    RegisterApplicationStrings();
    UseDialogFont();
    m_document = std::make_unique<CConfigDoc>();
    if (!m_document->OnNewDocument()) {
        m_document.reset();
        return false;
    }
    m_frame = std::make_unique<CMainFrame>(m_document.get());
    m_document->SendInitialUpdate();
    m_frame->show();
    return true;
}

void CConfigApp::ExitInstance()
{
    m_frame.reset();
    m_document.reset();
    Ambry::ForbidNetworkWaits(false);
}
