// A valid DLL without the application entry point.
extern "C" __declspec(dllexport) int not_run_code() {
    return 0;
}
