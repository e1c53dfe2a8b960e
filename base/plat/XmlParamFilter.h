#pragma once

namespace plat {

// Chooses which parameters the XML parameter document lists.
class XmlParamFilter {
public:
  virtual ~XmlParamFilter() = default;
  virtual bool accept(const char* name, const char* typeName, bool advanced) const = 0;
};

} // namespace plat
