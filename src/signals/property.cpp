#include "signals/property.h"

namespace qur::detail {

void logBindingError(const std::string& signalName, const std::string& keyPath, const void* target,
                     const Error& error) {
  QUR_LOG_ERROR("Received error from %s in binding for key path \"%s\" on %p: %s",
                signalName.c_str(), keyPath.c_str(), target, error.toString().c_str());
}

}  // namespace qur::detail
