#include "base/loc/Catalogue.h"

#include <cstring>

namespace loc {

namespace {

struct Entry {
  const char* key;
  const char* text;
};

// Kept in key order so that lookups can bisect.
constexpr Entry english[] = {
  {"plat_bad_argument", "Bad argument '%s'."},
  {"plat_configuration_global_params", "Global parameters"},
  {"plat_configuration_help_default", "default"},
  {"plat_configuration_log_dests_title", "Log destinations:"},
  {"plat_configuration_log_names_title", "Log names:"},
  {"plat_configuration_param_usage",
   "Parameters can be turned on with -<param> or off with -<param>=0\n"
   "Values can be specified as -<param> <value>\n"
   "Other valid forms are <param>=<value> -<param>=<value> --<param>=<value>\n"
   "Names are case-insensitive.  Valid parameters are listed below."},
  {"plat_param_log", "Record events in the format <log>:<target>:<level>[,...]."},
  {"plat_param_log_keep_days", "Keep log files for X days."},
  {"plat_param_logdir", "Directory in which to store log output directed to file."},
  {"plat_param_logfile", "File in which to store log output directed to file."},
  {"plat_run_with_help", "Run with -help for usage."},
  {"plat_this_program_not_directly", "This program is not intended to be run directly."},
  {"rfb_param_alter_shift_with_mods",
   "Whether to alter the Shift key state when modifiers such as Ctrl and Alt are pressed"},
  {"svr_param_pollcursortime", "How often to poll for cursor movement in ms."},
  {"svr_param_pollinterval", "How often to poll for display updates in ms."},
  {"svr_param_randr",
   "Comma-separated list of display geometries to make available via the RANDR extension, "
   "if enabled."},
  {"svr_param_sclipboardx11_polltime", "How often to poll for clipboard changes in ms."},
  {"svr_param_sclipboardx11_sendprimary",
   "Send the PRIMARY selection to the connected device in preference to the CLIPBOARD "
   "selection"},
  {"svr_param_sdesktopx11_capturemethod",
   "Capture screen updates using the optimal method (0), by polling (1), or by forcing use of "
   "the DAMAGE extension (2). The optimal method uses DAMAGE if it is enabled and responsive."},
  {"svr_param_sdisplay_displaydevice",
   "The name of the monitor to remote to connected users, or empty to remote all monitors."},
};

const Entry* find(const char* key) {
  const Entry* begin = std::begin(english);
  const Entry* end = std::end(english);
  while (begin < end) {
    const Entry* middle = begin + (end - begin) / 2;
    int order = std::strcmp(middle->key, key);
    if (order == 0)
      return middle;
    if (order < 0)
      begin = middle + 1;
    else
      end = middle;
  }
  return nullptr;
}

} // namespace

std::string text(const char* key) {
  if (!key)
    return {};
  if (const Entry* entry = find(key))
    return entry->text;
  return std::string("[") + key + "]";
}

bool hasText(const char* key) {
  return key && find(key);
}

std::string substitute(std::string_view text, std::string_view argument) {
  size_t at = text.find("%s");
  if (at == std::string_view::npos)
    return std::string(text);
  std::string result(text.substr(0, at));
  result += argument;
  result += text.substr(at + 2);
  return result;
}

} // namespace loc
