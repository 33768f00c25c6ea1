#pragma once
// The enclave's command line, read back in the one form that the service
// writes it:
//
//   "{program}" --pipe-token {token} [--pipe-allow-sid {sid}] --service-verified
//     [--shutdown-event brisvander-shutdown-{token}]
//     [--ipc-secret-file "{drive}:\{folders}\bv-ipc-{token}.tmp"]
//
// with single spaces between the items and nothing before or after them.
// Nothing is unquoted or unescaped: the service quotes only the program
// path and the file path, and neither can hold a double quote. Portable,
// so that it is fuzzed on the host.

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace bv::enclave_side {

struct EnclaveArguments {
  std::u16string program;                         // between the first two double quotes
  std::u16string pipe_token;                      // 32 hexadecimal digits, in the case given
  std::optional<std::u16string> allowed_sid;      // "S-1-...", when given
  std::optional<std::u16string> shutdown_event;   // "brisvander-shutdown-" and the token, when given
  std::optional<std::u16string> ipc_secret_file;  // the path between the quotes, when given
};

inline constexpr std::u16string_view shutdown_event_prefix = u"brisvander-shutdown-";
inline constexpr std::u16string_view secret_file_prefix = u"bv-ipc-";
inline constexpr std::u16string_view secret_file_suffix = u".tmp";

// The arguments, or a message that says what is out of form.
std::expected<EnclaveArguments, std::string> parse_enclave_command_line(std::u16string_view line);

}  // namespace bv::enclave_side
