// The installer's application object: decides before any window exists
// whether the program can run (the vendor's device service registered,
// sockets started, the vendor libraries bound), runs the main dialog, and
// unbinds the libraries on the way out.
#pragma once

#include "installer/framework/app.h"
#include "platform/handles.h"

class CInstallOrvexApp : public CApplication {
  public:
    CInstallOrvexApp();
    BOOL InitInstance() override;
    int ExitInstance() override;
};

// The vendor's device service is registered: its key opens for reading and
// writing and its "ImagePath" is a well-formed string of at most 260 bytes.
bool IsAppleMobileDeviceInstalled();
// The start-up check: the device service is registered, or a store package
// of the vendor's is installed (the store applications register no service
// key).
bool IsVendorSoftwareInstalled();

// The start-up trace file "C:\ZOrod.txt": created when the program is
// loaded, it receives one banner line at start and is closed. When it
// cannot be created the program runs on without it.
class StartupTrace {
  public:
    explicit StartupTrace(const wchar_t* path);
    // The banner in text mode (CR LF), then the file is closed for good.
    void WriteBannerAndClose();
    bool open() const { return static_cast<bool>(m_file); }

  private:
    UniqueHandle m_file;
};
void WriteStartupTrace();
