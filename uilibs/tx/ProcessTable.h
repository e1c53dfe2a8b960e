#pragma once

// Reads what the desktop-user search needs from the kernel's process table:
// the PIDs, each process's real user id and one variable of its
// environment. The table's root is "/proc" unless a test points it at a
// tree of its own.
//
// Everything read here belongs to other processes and is treated as
// untrusted: entries are opened relative to the table's directory without
// following symbolic links, only regular files are read, reads are bounded,
// and numbers must be plain decimal values that fit 32 bits.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace tx {

class ProcessTable {
public:
  // One variable of a process environment.
  struct EnvValue {
    enum class Kind {
      absent,   // not set, or the environment could not be read
      found,    // `value` holds it
      unusable, // set, but too long, or the environment is too large to search
    };
    Kind kind = Kind::absent;
    std::string value;
    std::string reason; // why it is unusable
  };

  struct Process {
    uint32_t pid;
    uint32_t uid; // real user id
    EnvValue env;
  };

  // Environments larger than this are not searched to the end.
  static constexpr size_t maxEnvironSize = 16 * 1024 * 1024;
  // Status files are a few kilobytes; more than this is not a status file.
  static constexpr size_t maxStatusSize = 64 * 1024;

  explicit ProcessTable(std::string root = "/proc");

  const std::string& root() const { return root_; }

  // Calls `visit` for every process of the table whose PID is in `wanted`,
  // in directory order, with its real user id and the variable `envName`
  // of its environment (values longer than `maxValueLength` are unusable).
  // Processes whose directory or status cannot be read (they may have ended
  // meanwhile) are skipped; failures to open are logged at level 100
  // ("Unable to open <path>: <error>").
  void scan(const std::set<uint32_t>& wanted, std::string_view envName, size_t maxValueLength,
            const std::function<void(const Process&)>& visit) const;

  // A directory entry name as a PID: plain decimal digits, no leading zero,
  // above 0 and within 32 bits.
  static std::optional<uint32_t> parsePid(std::string_view name);
  // The real user id: the first value of the "Uid:" line of a status file.
  // None when the line is missing or the value is not a decimal number
  // below 0xFFFFFFFF (which stands for "no user").
  static std::optional<uint32_t> parseStatusUid(std::string_view status);

private:
  std::optional<uint32_t> readUid(int pidDir, const std::string& pidPath) const;
  EnvValue readEnv(int pidDir, const std::string& pidPath, std::string_view envName,
                   size_t maxValueLength) const;

  std::string root_;
};

} // namespace tx
