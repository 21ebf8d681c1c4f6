#include "log/thread_role.h"

#include <cstdlib>

#include "log/log.h"

namespace qur {

namespace {
thread_local ThreadRole tCurrentRole = ThreadRole::Unknown;
}  // namespace

ThreadRole currentThreadRole() noexcept {
  return tCurrentRole;
}

void setCurrentThreadRole(ThreadRole role) noexcept {
  tCurrentRole = role;
}

const char* threadRoleName(ThreadRole role) noexcept {
  switch (role) {
    case ThreadRole::Main:
      return "main";
    case ThreadRole::Audio:
      return "audio";
    case ThreadRole::Network:
      return "network";
    case ThreadRole::Unknown:
      break;
  }
  return "undeclared";
}

void threadRoleViolation(ThreadRole expected, bool expectedOther, const char* file, int line,
                         const char* function) noexcept {
  ::qur::log(false, LogLevelError, LogFlagError, 0, file, function, line, nullptr,
             "%s must be called %s the %s thread, not on the %s thread", function,
             expectedOther ? "off" : "on", threadRoleName(expected),
             threadRoleName(currentThreadRole()));
  std::abort();
}

}  // namespace qur
