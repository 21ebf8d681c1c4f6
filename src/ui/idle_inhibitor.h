// Keeps the desktop from blanking or locking while inhibited, through the
// session bus's screen-saver service where one runs; elsewhere (no session
// bus, no service) inhibiting does nothing. Main thread.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

namespace qur {

class IdleInhibitor {
 public:
  explicit IdleInhibitor(QString reason);
  ~IdleInhibitor();
  IdleInhibitor(const IdleInhibitor&) = delete;
  IdleInhibitor& operator=(const IdleInhibitor&) = delete;

  void setInhibited(bool inhibited);
  bool isInhibited() const { return _inhibited; }
  // Whether the desktop took the request (false where there is no service).
  bool isEffective() const { return _cookie.has_value(); }

 private:
  QString _reason;
  bool _inhibited = false;
  std::optional<std::uint32_t> _cookie;
};

}  // namespace qur
