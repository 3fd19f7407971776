// The application object: brings the libraries up before anything else runs and
// takes them down at exit, and builds the document and the main window.
//
// Start-up: the utility library's core modules, then the grabber client library
// (with the socket layer). InitInstance: the string table, the document with its
// device list from the settings store, the main window with its panes, shown at
// 750 x 530. Shut-down: the main window goes first (its panes leave the document),
// then the document (current device released, a changed list saved, every device
// stopped); at exit the grabber library and then the network module stop.
#pragma once

#include <memory>

class CConfigDoc;

// Makes the dialog font the application's font: a condensed sans serif at 8 points,
// whose dialog base units (6 x 13 pixels at 96 dpi) fit the panes' fixed pixel
// sizes and the list rows' text columns.
void UseDialogFont();
class CMainFrame;

class CConfigApp {
public:
    CConfigApp();
    ~CConfigApp();
    CConfigApp(const CConfigApp &) = delete;
    CConfigApp &operator=(const CConfigApp &) = delete;

    // Sets the dialog font, creates the document, loads the list and shows the main window; false when a
    // part cannot be made. Needs a QApplication.
    bool InitInstance();
    // Closes the main window and destroys the document.
    void ExitInstance();

    CConfigDoc *Document() const { return m_document.get(); }
    CMainFrame *MainFrame() const { return m_frame.get(); }

private:
    std::unique_ptr<CConfigDoc> m_document;
    std::unique_ptr<CMainFrame> m_frame;
};
