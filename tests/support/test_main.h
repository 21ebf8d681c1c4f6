#pragma once

#include "signals/main_queue.h"

namespace qur::testing {
// The main loop installed as the process's main queue by the test main.
MainLoop& mainLoop();
}  // namespace qur::testing
