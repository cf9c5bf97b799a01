#include <windows.h>

#include "launcher/startup.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return runLauncher();
}
