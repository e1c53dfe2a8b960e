#include "base/plat/Exception.h"

#include "base/plat/Format.h"

#include <cstring>

namespace plat {

namespace {

std::string cut(std::string_view text, size_t max) {
  return std::string(text.substr(0, max));
}

} // namespace

Exception::Exception(std::string_view message, std::string_view kind)
  : message_(cut(message, maxMessage)), kind_(cut(kind, maxKind)) {}

std::string Exception::describe() const {
  if (!hasType())
    return message_;
  return format("[%s] %s", kind_.c_str(), message_.c_str());
}

SystemException::SystemException(std::string_view call, int err)
  : Exception(format("%.*s: %s (%d)", int(call.size()), call.data(), std::strerror(err), err),
              format("System-%d", err)),
    err_(err) {}

AssertionFail::AssertionFail(std::string_view condition, std::string_view message)
  : Exception(message, "AssertionFail"), condition_(condition) {}

} // namespace plat
