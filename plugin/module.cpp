// The plug-in's own module handle, kept from process attach to find the settings file.
#include "plugin/module.h"

namespace stillreel {

namespace {
// Null outside the DLL (in test programs), where the settings lie beside the program.
HMODULE g_module = nullptr;
}  // namespace

HMODULE PluginModule() { return g_module; }
void SetPluginModule(HMODULE module) { g_module = module; }

}  // namespace stillreel
