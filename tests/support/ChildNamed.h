#pragma once

#include "model/HLNFile.h"

#include <string_view>

// The entry of folder with that name, its names turned into nodes first if
// need be; null when it has none such.
Ref<HLNFile> childNamed(const Ref<HLNFile>& folder, std::string_view name);
