// InstallOrvex.exe: the installer's entry point and its application object.
#include "installer/install_orvex_app.h"

CInstallOrvexApp theApp;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    try {
        return theApp.Run();
    } catch (...) {
        return 1;
    }
}
