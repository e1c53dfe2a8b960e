#pragma once

// A byte-string parameter, set from an even number of hexadecimal digits
// (either case). Its bytes are treated as secret: the value text shown in
// log lines, help and the XML document is "<binary>", never the bytes.

#include "base/plat/TypedParameter.h"

#include <cstdint>
#include <vector>

namespace plat {

class BinaryParameter : public TypedParameter<std::vector<uint8_t>> {
public:
  BinaryParameter(const char* name, const char* description,
                  std::vector<uint8_t> defaultValue = {}, bool advanced = false,
                  Configuration* group = nullptr, const char* tags = nullptr);
  BinaryParameter(const char* name, LocKey locDescription,
                  std::vector<uint8_t> defaultValue = {}, bool advanced = false,
                  Configuration* group = nullptr, const char* tags = nullptr);

  bool setParam(const char* text, int priority) override;
  const char* typeName() const override { return "binary"; }
  bool isBinary() const override { return true; }
  std::unique_ptr<ConfigParameter> clone(Configuration* group) const override;

  static std::optional<std::vector<uint8_t>> parse(const char* text);

protected:
  BinaryParameter(const BinaryParameter& other, Configuration* group)
    : TypedParameter(other, group) {}
  std::string toText(const std::vector<uint8_t>&) const override { return "<binary>"; }
};

} // namespace plat
