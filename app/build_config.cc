// Compiled once per executable, each time against its own generated header, so the shipped
// program and the loopback test builds differ only in these values.
#include "app/build_config.h"

#include "registry_build_config.h"

namespace kolvo {

RegistryClientConfig built_in_config() { return build_config::client_config(); }

}  // namespace kolvo
