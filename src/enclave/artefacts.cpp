#include "enclave/artefacts.h"

#include "text/path.h"
#include "text/utf.h"

namespace bv::enclave {

namespace {

constexpr std::string_view shutdown_event_prefix = "brisvander-shutdown-";
constexpr std::string_view secret_file_prefix = "bv-ipc-";
constexpr std::string_view secret_file_suffix = ".tmp";

// The shutdown event's access list, protected from inheritance:
//   (A;;GA;;;SY)          LocalSystem: GENERIC_ALL; the service sets the event.
//   (A;;0x00100000;;;sid) the isolation account: SYNCHRONIZE alone, so the
//                         enclave can wait on the event but never set or
//                         reset it.
std::string shutdown_event_sddl(std::string_view sid) {
  return "D:P(A;;GA;;;SY)(A;;0x00100000;;;" + std::string(sid) + ")";
}

// The hand-over file's access list, protected from inheritance:
//   (A;;FA;;;SY)  LocalSystem: FILE_ALL_ACCESS.
//   (A;;FA;;;sid) the isolation account: FILE_ALL_ACCESS.
// Nobody else, administrators included, may open the file.
std::string secret_file_sddl(std::string_view sid) {
  return "D:P(A;;FA;;;SY)(A;;FA;;;" + std::string(sid) + ")";
}

// One CreateEventW for the name. An event of the name that existed before
// was made by someone else, who may set it or hold it: its handle is closed
// at once, and the name counts as taken.
struct EventAttempt {
  platform::Object handle;
  bool name_taken = false;
};

EventAttempt try_create_event(platform::ProcessesTokens& processes, platform::SecurityDescriptor* descriptor,
                              std::u16string_view name) {
  auto created = processes.create_event(descriptor, name);
  if (!created) return {};
  if (created->already_existed) {
    created->handle.reset();
    return {.name_taken = true};
  }
  return {.handle = std::move(created->handle)};
}

}  // namespace

SecretString secret_line(std::span<const std::uint8_t> ipc_secret) {
  static constexpr char digits[] = "0123456789abcdef";
  SecretString line;
  auto& text = line.get();
  // Reserved in full up front so that no reallocation leaves a partial copy
  // of the secret behind in freed memory.
  text.reserve(ipc_secret.size() * 2 + 1);
  for (std::uint8_t byte : ipc_secret) {
    text += digits[byte >> 4];
    text += digits[byte & 0x0F];
  }
  text += '\n';
  return line;
}

std::optional<std::string> token_user_sid_string(platform::ProcessesTokens& processes, platform::KernelObject& token) {
  auto sid = processes.token_user_sid(token);
  if (!sid) return std::nullopt;
  return text::to_utf8(*sid);
}

ShutdownEvent create_shutdown_event(platform::Platform& platform, platform::KernelObject& logon_token,
                                    std::string_view pipe_token) {
  ShutdownEvent event;
  event.name = std::string(shutdown_event_prefix) + std::string(pipe_token);
  const std::u16string name = text::to_utf16(event.name);

  bool name_taken = false;
  if (auto sid = token_user_sid_string(platform.processes, logon_token)) {
    if (auto descriptor = platform.security.convert_sddl(text::to_utf16(shutdown_event_sddl(*sid)))) {
      EventAttempt secured = try_create_event(platform.processes, descriptor->get(), name);
      descriptor->reset();
      event.handle = std::move(secured.handle);
      name_taken = secured.name_taken;
    }
  }

  // Whatever else kept the secured event from being made, the enclave still
  // gets an event to wait on, with the default security of the service's
  // token. A taken name is not tried again: the call would only open the
  // same object.
  if (!event.handle && !name_taken) event.handle = try_create_event(platform.processes, nullptr, name).handle;
  return event;
}

std::optional<std::string> write_secret_file(platform::Platform& platform, platform::KernelObject& logon_token,
                                             std::string_view pipe_token, std::span<const std::uint8_t> ipc_secret) {
  // Without the account's SID the file could not be kept from other users,
  // so none is written and the secret travels over standard input alone.
  auto sid = token_user_sid_string(platform.processes, logon_token);
  if (!sid) return std::nullopt;

  auto directory = platform.files.temp_directory();
  if (!directory || directory->empty()) return std::nullopt;
  std::string file_name = std::string(secret_file_prefix) + std::string(pipe_token) + std::string(secret_file_suffix);
  // The path text is what the enclave is told; the file is created under the
  // same text converted back, so both name the same file even when the
  // directory held an unpaired surrogate.
  std::string path_text = text::to_utf8(text::join_path(*directory, text::to_utf16(file_name)));
  const std::u16string path = text::to_utf16(path_text);

  auto descriptor = platform.security.convert_sddl(text::to_utf16(secret_file_sddl(*sid)));
  if (!descriptor) return std::nullopt;

  // CreateFileW applies a descriptor only to a file it creates, so a file
  // planted under this name in a shared temporary directory would keep its
  // planter's access and then receive the secret. It is removed, and the
  // file is made only if it is new; if the removal failed, so does the
  // creation, and no file is written.
  (void)platform.files.delete_file(path);
  auto file = platform.files.create_file(path, descriptor->get(), platform::FileCreation::create_new);
  descriptor->reset();
  if (!file) return std::nullopt;

  {
    SecretString line = secret_line(ipc_secret);
    // A failed write is not detected: the file is named all the same.
    static_cast<void>(platform.files.write_file(**file, line.get()));
  }
  file->reset();
  return path_text;
}

void delete_secret_file(platform::PipesFiles& files, const std::optional<std::string>& path) {
  if (path) static_cast<void>(files.delete_file(text::to_utf16(*path)));
}

}  // namespace bv::enclave
