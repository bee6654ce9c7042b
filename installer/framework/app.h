// A thin application framework for the installer: the application object
// with its start and exit hooks, the application's name, its message box,
// Windows Sockets start-up, the resource module and worker threads.
#pragma once

#include "platform/handles.h"

#include <windows.h>

#include <string>

class CDialog;

// Restart-manager support: register for restart by the system restart
// manager during the base class's InitInstance.
constexpr DWORD kRestartManagerSupportRestart = 0x01;

class CApplication {
  public:
    CApplication();
    virtual ~CApplication();
    CApplication(const CApplication&) = delete;
    CApplication& operator=(const CApplication&) = delete;

    // The start routine. Returning FALSE ends the program without a
    // message loop of its own.
    virtual BOOL InitInstance();
    // Runs after every return of InitInstance; its result is the process's
    // exit status.
    virtual int ExitInstance();

    // InitInstance, a message loop when it returned TRUE, ExitInstance and
    // the framework's own clean-up (sockets). Returns the exit status.
    int Run();

    DWORD m_dwRestartManagerSupportFlags = 0;
    CDialog* m_pMainWnd = nullptr;
};

// The one application object of the process (null before it is constructed).
CApplication* AppGetApp();

// The application's name: the base name of the executable file, without
// folder and extension.
const std::wstring& AppName();

// A message box with the application's name as caption. The owner defaults
// to the main window when there is one.
int AppMessageBox(const wchar_t* text, UINT type = MB_OK);
int AppMessageBox(HWND owner, const wchar_t* text, UINT type);

// Windows Sockets 1.1; false when the library cannot start or does not
// offer version 1.1. Released by CApplication::Run at program end.
bool AppSocketInit();
// Whether sockets were started and are still to be released.
bool AppSocketsStarted();

// The module that resources (dialog templates, icons, images, packages)
// are loaded from: the executable unless set otherwise.
HMODULE AppResourceModule();
void AppSetResourceModule(HMODULE module);

// Starts a worker thread at normal priority with the default stack size,
// running at once. The handle may be waited on; an empty handle means the
// thread could not start.
using AppThreadProc = unsigned(__stdcall*)(void* param);
UniqueHandle AppBeginThread(AppThreadProc proc, void* param);
