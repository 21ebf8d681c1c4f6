// The error value carried by a signal's error event, and by any module that
// reports a failure as a value: a domain, a code and a description, plus
// optional extra entries.
#pragma once

#include <any>
#include <map>
#include <string>

namespace qur {

struct Error {
  std::string domain;
  int code = 0;
  std::string description;
  std::map<std::string, std::any> userInfo;

  Error() = default;
  Error(std::string domain, int code, std::string description = {})
      : domain(std::move(domain)), code(code), description(std::move(description)) {}

  // "domain code: description", for logs.
  std::string toString() const;
  // Same domain and code; the description and user info do not take part.
  bool operator==(const Error& other) const { return domain == other.domain && code == other.code; }
};

}  // namespace qur
