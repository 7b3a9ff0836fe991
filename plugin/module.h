// The plug-in's own module handle, kept from process attach to find the settings file.
#pragma once

#include <windows.h>

namespace stillreel {

HMODULE PluginModule();
void SetPluginModule(HMODULE module);

}  // namespace stillreel
