// The helper DLL that testapp_dependent imports from: found only when the
// loader searches the directory of the application's main file.
extern "C" __declspec(dllexport) int helper_value(int argc) {
    return 40 + argc;
}
