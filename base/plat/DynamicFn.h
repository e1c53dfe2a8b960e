#pragma once

// A function looked up at run time in a shared library that the program does
// not link against, so that an optional library may be absent.
//
// The library text is a list of candidates separated by ",", tried
// in order until one provides the symbol:
//   "Name[3,2,1]"  tries libName.so.3, libName.so.2, libName.so.1;
//   "Name"         tries libName.so;
//   "dir/file.so"  (any candidate containing "/") tries that file.
// With `pathsOnly` every candidate is a file name, tried as it is (so a name
// may contain "[" or lack "lib"). The symbol list holds alternative names
// separated by ","; the first one found wins.
//
// Construction searches once and never throws; a failed search leaves
// pointer() null. The handle stays open until the object is destroyed; a
// library that provided a symbol stays mapped even then, since what it
// registered or allocated may outlive the handle. Candidates that lacked
// the symbols are unloaded again.
// Objects usually have static storage, one per imported function.

#include <string>

namespace plat {

class DynamicFn {
public:
  DynamicFn(const char* librarySpec, const char* symbolList, bool pathsOnly = false);
  ~DynamicFn();
  DynamicFn(const DynamicFn&) = delete;
  DynamicFn& operator=(const DynamicFn&) = delete;

  bool found() const { return fn_ != nullptr; }
  void* pointer() const { return fn_; }
  // The file the symbol came from; empty when not found.
  const std::string& libraryFile() const { return file_; }
  const std::string& librarySpec() const { return spec_; }
  const std::string& symbolList() const { return symbols_; }

  // The function as type F, or null.
  template <typename F>
  F get() const {
    return reinterpret_cast<F>(fn_);
  }

  // The function as type F; throws plat::DynamicFnLoadFailed
  // "Function <symbols> not found in <spec> library" when it was not found.
  template <typename F>
  F require() const {
    if (!fn_)
      throwNotFound();
    return reinterpret_cast<F>(fn_);
  }

private:
  // One candidate file: true when it provides one of the symbols.
  bool tryFile(const std::string& file);
  [[noreturn]] void throwNotFound() const;

  std::string spec_;
  std::string symbols_;
  std::string file_;
  void* fn_ = nullptr;
  void* handle_ = nullptr;
};

} // namespace plat
