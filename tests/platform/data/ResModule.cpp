// A library with resources of its own, loaded by the module tests to check that each module
// keeps its own table.
extern "C" __attribute__((visibility("default"))) const void* QrxResModuleAnchor() {
    return reinterpret_cast<const void*>(&QrxResModuleAnchor);
}
