// The configuration that an executable was built with.
#pragma once

#include "registry/registry.h"

namespace kolvo {

// The client's configuration from this executable's build settings; each executable is
// compiled with its own.
RegistryClientConfig built_in_config();

}  // namespace kolvo
