// The peers module's name for the log limiter (log/log_limiter.h).
#pragma once

#include "log/log_limiter.h"

namespace qur::peers {
using LogLimiter = qur::LogLimiter;
}  // namespace qur::peers
