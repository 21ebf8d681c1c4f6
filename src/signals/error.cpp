#include "signals/error.h"

namespace qur {

std::string Error::toString() const {
  std::string text = domain + " " + std::to_string(code);
  if (!description.empty()) text += ": " + description;
  return text;
}

}  // namespace qur
