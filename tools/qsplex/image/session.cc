#include "tools/qsplex/image/session.h"

namespace qsplex {

int Context::Fail(const std::string& subject,
                  const std::string& message) const {
  return TellFailure(command, subject, message);
}

int Context::Fail(const std::string& subject, HRESULT hr) const {
  return Reporter(*this).Fail(subject, hr);
}

}  // namespace qsplex
