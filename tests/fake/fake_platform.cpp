#include "fake/fake_platform.h"

#include <algorithm>
#include <stdexcept>

#include "text/utf.h"

namespace bv::fake {

using namespace std::chrono_literals;
using platform::ErrorCode;
using platform::Object;

std::string narrow(std::u16string_view text) {
  return text::to_utf8(text);
}
std::u16string widen(std::string_view text) {
  return text::to_utf16(text);
}

bool CallLog::contains(std::string_view call) const {
  return index_of(call) != std::string::npos;
}

std::size_t CallLog::count(std::string_view prefix) const {
  return static_cast<std::size_t>(
      std::count_if(calls_.begin(), calls_.end(), [&](const std::string& c) { return c.starts_with(prefix); }));
}

std::size_t CallLog::index_of(std::string_view call) const {
  auto it = std::find(calls_.begin(), calls_.end(), call);
  return it == calls_.end() ? std::string::npos : static_cast<std::size_t>(it - calls_.begin());
}

std::vector<std::string> CallLog::only(std::initializer_list<std::string_view> prefixes) const {
  std::vector<std::string> result;
  for (const auto& c : calls_) {
    for (auto p : prefixes) {
      if (c.starts_with(p)) {
        result.push_back(c);
        break;
      }
    }
  }
  return result;
}

const std::string& name_of(platform::KernelObject& object) {
  return dynamic_cast<FakeObject&>(object).name();
}

Object make_object(CallLog& log, std::string name) {
  std::string release_call = "CloseHandle(" + name + ")";
  return std::make_unique<FakeObject>(log, std::move(name), std::move(release_call));
}

void FakeClock::sleep_for(std::chrono::milliseconds duration) {
  if (log_sleeps) log_.add("Sleep(" + std::to_string(duration.count()) + ")");
  now_ += duration;
  if (on_sleep) on_sleep(duration);
}

std::vector<std::string> FakeConsole::err_lines() const {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < err.size()) {
    auto end = err.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(err.substr(start));
      break;
    }
    lines.push_back(err.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// ---- pipes -----------------------------------------------------------------

FakePipe::FakePipe(FakePipesFiles& owner, FakeClient* connected) : owner_(owner), client_(connected) {}

FakePipe::~FakePipe() {
  owner_.log.add("CloseHandle(pipe)");
  if (client_ != nullptr) finish_client();
}

void FakePipe::finish_client() {
  owner_.served.push_back(*client_);
  owner_.clients.pop_front();
  client_ = nullptr;
}

platform::ConnectOutcome FakePipe::connect(platform::WakeEvent* wake) {
  owner_.log.add("ConnectNamedPipe");
  if (client_ != nullptr) throw std::logic_error("fake pipe: connect while a client is connected");
  if (owner_.clients.empty()) {
    // Nobody comes: the test is over once the server is stopped.
    if (owner_.stop_when_idle == nullptr) throw std::logic_error("fake pipe: no client left and no stop");
    owner_.stop_when_idle->clear();
    if (wake == nullptr) throw std::logic_error("fake pipe: waiting without a wake event would never end");
    return {.succeeded = false, .error = platform::error_operation_aborted, .woken = true};
  }
  client_ = &owner_.clients.front();
  const auto outcome = client_->connect;
  if (!outcome.succeeded && outcome.error != platform::error_pipe_connected &&
      outcome.error != platform::error_no_data) {
    finish_client();
  }
  return outcome;
}

platform::ReadOutcome FakePipe::read_byte(std::chrono::milliseconds timeout) {
  if (client_ == nullptr) throw std::logic_error("fake pipe: read without a client");
  if (client_->bytes_read < client_->sends.size()) {
    if (client_->per_byte > timeout) {
      owner_.clock.advance(timeout);
      return {.timed_out = true};
    }
    owner_.clock.advance(client_->per_byte);
    auto byte = static_cast<std::uint8_t>(client_->sends[client_->bytes_read++]);
    return {.succeeded = true, .count = 1, .byte = byte};
  }
  if (client_->closes_after_sending) return {.succeeded = false, .error = platform::error_broken_pipe};
  owner_.clock.advance(timeout);
  return {.timed_out = true};
}

platform::ReadOutcome FakePipe::wait_for_data(std::chrono::milliseconds timeout) {
  if (client_ == nullptr) throw std::logic_error("fake pipe: wait without a client");
  if (client_->bytes_read < client_->sends.size()) return {.succeeded = true, .count = 0};
  // Once the reply is out, the client closes as peek() sees it.
  if (peek() != 0) return {.succeeded = false, .error = platform::error_broken_pipe};
  owner_.clock.advance(timeout);
  return {.timed_out = true};
}

platform::Result<void> FakePipe::write(std::string_view bytes, std::chrono::milliseconds) {
  owner_.log.add("WriteFile(pipe, " + std::string(bytes) + ")");
  if (client_ == nullptr) return std::unexpected(platform::error_broken_pipe);
  client_->received += bytes;
  return {};
}

bool FakeWake::wait(std::chrono::milliseconds timeout) {
  log_.add("WaitForSingleObject(wake, " + std::to_string(timeout.count()) + ")");
  if (during_wait) during_wait();
  if (!is_set && clock_ != nullptr) {
    clock_->advance(timeout);
    if (clock_->on_sleep) clock_->on_sleep(timeout);
  }
  return is_set;
}

ErrorCode FakePipe::peek() {
  if (client_ != nullptr && client_->reads_reply && !client_->received.empty()) return platform::error_broken_pipe;
  return 0;
}

platform::Result<void> FakePipe::disconnect() {
  owner_.log.add("DisconnectNamedPipe");
  if (!owner_.disconnect_failures.empty()) {
    const auto code = owner_.disconnect_failures.front();
    owner_.disconnect_failures.pop_front();
    return std::unexpected(code);
  }
  if (client_ != nullptr) {
    client_->disconnected = true;
    finish_client();
  }
  return {};
}

platform::Result<std::uint32_t> FakePipe::client_process_id() {
  owner_.log.add("GetNamedPipeClientProcessId");
  if (client_ == nullptr) return std::unexpected(platform::error_broken_pipe);
  return client_->process_id;
}

platform::Result<platform::Pipe> FakePipesFiles::create_named_pipe(std::u16string_view name,
                                                                   platform::SecurityDescriptor&) {
  log.add("CreateNamedPipeW(" + narrow(name) + ")");
  if (!create_pipe_failures.empty()) {
    auto code = create_pipe_failures.front();
    create_pipe_failures.pop_front();
    return std::unexpected(code);
  }
  return std::make_unique<FakePipe>(*this);
}

platform::Result<platform::AnonymousPipe> FakePipesFiles::create_anonymous_pipe() {
  log.add("CreatePipe");
  if (anonymous_pipe_failure) return std::unexpected(*anonymous_pipe_failure);
  return platform::AnonymousPipe{make_object(log, "stdin-read"), make_object(log, "stdin-write")};
}

platform::Result<void> FakePipesFiles::clear_inherit_flag(platform::KernelObject& handle) {
  log.add("SetHandleInformation(" + name_of(handle) + ")");
  return {};
}

platform::Result<void> FakePipesFiles::write_file(platform::KernelObject& handle, std::string_view bytes) {
  const auto& name = name_of(handle);
  log.add("WriteFile(" + name + ", " + std::to_string(bytes.size()) + " bytes)");
  written[name] += bytes;
  if (name.starts_with("file:")) files[name.substr(5)] += bytes;
  return {};
}

platform::Result<Object> FakePipesFiles::create_file(std::u16string_view path, platform::SecurityDescriptor* descriptor,
                                                     platform::FileCreation creation) {
  auto p = narrow(path);
  log.add("CreateFileW(" + p + (descriptor != nullptr ? ", secured" : ", default") +
          (creation == platform::FileCreation::create_new ? ", CREATE_NEW)" : ", CREATE_ALWAYS)"));
  if (auto it = create_file_failures.find(p); it != create_file_failures.end()) return std::unexpected(it->second);
  if (creation == platform::FileCreation::create_new && files.contains(p)) return std::unexpected(80u);
  files[p].clear();
  return make_object(log, "file:" + p);
}

platform::Result<void> FakePipesFiles::delete_file(std::u16string_view path) {
  auto p = narrow(path);
  log.add("DeleteFileW(" + p + ")");
  if (auto it = delete_file_failures.find(p); it != delete_file_failures.end()) return std::unexpected(it->second);
  if (files.erase(p) == 0) return std::unexpected(platform::error_file_not_found);
  return {};
}

std::uint32_t FakePipesFiles::drive_type(std::u16string_view root) {
  const auto r = narrow(root);
  log.add("GetDriveTypeW(" + r + ")");
  if (auto it = drive_types.find(r); it != drive_types.end()) return it->second;
  return platform::drive_fixed;
}

platform::Result<std::u16string> FakePipesFiles::temp_directory() {
  log.add("GetTempPath");
  return temp;
}

// ---- processes and tokens ----------------------------------------------------

namespace {

template <class Kind>
std::unique_ptr<platform::Owned<Kind>> fake_owned(CallLog& log, std::string name, std::string release_call) {
  return std::make_unique<FakeOwned<Kind>>(log, std::move(name), std::move(release_call));
}

std::string hex32(std::uint32_t v) {
  static const char* digits = "0123456789abcdef";
  std::string s = "0x";
  bool started = false;
  for (int shift = 28; shift >= 0; shift -= 4) {
    auto d = (v >> shift) & 0xF;
    if (d != 0 || started || shift == 0) {
      s += digits[d];
      started = true;
    }
  }
  return s;
}

}  // namespace

platform::Result<Object> FakeProcessesTokens::open_process(std::uint32_t access, std::uint32_t process_id) {
  log.add("OpenProcess(" + hex32(access) + ", " + std::to_string(process_id) + ")");
  if (auto it = open_process_failures.find(process_id); it != open_process_failures.end())
    return std::unexpected(it->second);
  return make_object(log, "process:" + std::to_string(process_id));
}

platform::Result<platform::ImageName> FakeProcessesTokens::query_image_name(platform::KernelObject& process) {
  const auto& name = name_of(process);
  log.add("QueryFullProcessImageNameW(" + name + ")");
  auto pid = static_cast<std::uint32_t>(std::stoul(name.substr(name.find(':') + 1)));
  if (auto it = image_names.find(pid); it != image_names.end()) return it->second;
  return std::unexpected(31u);
}

platform::Result<Object> FakeProcessesTokens::open_process_token(platform::KernelObject& process,
                                                                 std::uint32_t access) {
  const auto& name = name_of(process);
  log.add("OpenProcessToken(" + name + ", " + hex32(access) + ")");
  auto pid = static_cast<std::uint32_t>(std::stoul(name.substr(name.find(':') + 1)));
  if (auto it = open_token_failures.find(pid); it != open_token_failures.end()) return std::unexpected(it->second);
  return make_object(log, "token:" + std::to_string(pid));
}

std::optional<std::u16string> FakeProcessesTokens::token_user_sid(platform::KernelObject& token) {
  const auto& name = name_of(token);
  log.add("GetTokenInformation(" + name + ")");
  if (auto it = sids.find(name); it != sids.end()) return it->second;
  return std::nullopt;
}

platform::Result<Object> FakeProcessesTokens::logon_user(std::u16string_view user, std::u16string_view domain,
                                                         std::u16string_view password) {
  log.add("LogonUserW(" + narrow(user) + ", " + narrow(domain) + ", " + narrow(password) + ")");
  if (logon_failure) return std::unexpected(*logon_failure);
  if (auto it = refused_passwords.find(narrow(password)); it != refused_passwords.end())
    return std::unexpected(it->second);
  return make_object(log, "logon-token");
}

platform::Result<platform::Profile> FakeProcessesTokens::load_user_profile(platform::KernelObject& token,
                                                                           std::u16string_view user) {
  log.add("LoadUserProfileW(" + name_of(token) + ", " + narrow(user) + ")");
  if (profile_failure) return std::unexpected(*profile_failure);
  return fake_owned<platform::kind::LoadedProfile>(log, "profile", "UnloadUserProfile(" + name_of(token) + ")");
}

platform::Result<platform::Environment> FakeProcessesTokens::create_environment_block(platform::KernelObject& token) {
  log.add("CreateEnvironmentBlock(" + name_of(token) + ")");
  if (environment_failure) return std::unexpected(*environment_failure);
  return fake_owned<platform::kind::EnvironmentBlock>(log, "block", "DestroyEnvironmentBlock");
}

platform::Result<platform::CreatedProcess> FakeProcessesTokens::create_process_as_user(
    platform::KernelObject& token, std::u16string_view command_line, platform::EnvironmentBlock* block,
    platform::KernelObject& stdin_read) {
  log.add("CreateProcessAsUserW(" + name_of(token) + ", " + name_of(stdin_read) +
          (block != nullptr ? ", 0x08000404, block)" : ", 0x08000004, inherited)"));
  command_lines.emplace_back(command_line);
  if (create_process_failure) return std::unexpected(*create_process_failure);
  auto pid = next_process_id++;
  return platform::CreatedProcess{make_object(log, "enclave-process:" + std::to_string(pid)),
                                  make_object(log, "enclave-thread:" + std::to_string(pid)), pid};
}

platform::Result<Object> FakeProcessesTokens::create_job() {
  log.add("CreateJobObjectW");
  if (create_job_failure) return std::unexpected(*create_job_failure);
  return make_object(log, "job");
}

platform::Result<void> FakeProcessesTokens::assign_to_job(platform::KernelObject& job,
                                                          platform::KernelObject& process) {
  log.add("AssignProcessToJobObject(" + name_of(job) + ", " + name_of(process) + ")");
  if (assign_failure) return std::unexpected(*assign_failure);
  job_processes[name_of(job)].push_back(name_of(process));
  return {};
}

platform::Result<void> FakeProcessesTokens::resume_thread(platform::KernelObject& thread) {
  log.add("ResumeThread(" + name_of(thread) + ")");
  if (resume_failure) return std::unexpected(*resume_failure);
  return {};
}

platform::Result<void> FakeProcessesTokens::terminate_job(platform::KernelObject& job, std::uint32_t exit_code) {
  log.add("TerminateJobObject(" + name_of(job) + ", " + std::to_string(exit_code) + ")");
  for (const auto& process : job_processes[name_of(job)]) terminated.insert(process);
  return {};
}

platform::Result<std::uint32_t> FakeProcessesTokens::exit_code(platform::KernelObject& process) {
  const auto& name = name_of(process);
  log.add("GetExitCodeProcess(" + name + ")");
  if (auto it = exit_codes.find(name); it != exit_codes.end()) return it->second;
  return platform::still_active;
}

std::uint32_t FakeProcessesTokens::wait(platform::KernelObject& object, std::uint32_t milliseconds) {
  const auto& name = name_of(object);
  log.add("WaitForSingleObject(" + name + ", " + std::to_string(milliseconds) + ")");
  if (terminated.contains(name) && !unkillable.contains(name)) return platform::wait_object_0;
  if (auto it = wait_results.find(name); it != wait_results.end()) return it->second;
  return platform::wait_object_0;
}

platform::Result<void> FakeProcessesTokens::terminate(platform::KernelObject& process, std::uint32_t exit_code) {
  log.add("TerminateProcess(" + name_of(process) + ", " + std::to_string(exit_code) + ")");
  terminated.insert(name_of(process));
  return {};
}

platform::Result<void> FakeProcessesTokens::set_event(platform::KernelObject& event) {
  log.add("SetEvent(" + name_of(event) + ")");
  return {};
}

platform::Result<std::unique_ptr<platform::WakeEvent>> FakeProcessesTokens::create_wake_event() {
  if (wake_event_failure) return std::unexpected(*wake_event_failure);
  return std::make_unique<FakeWake>(log);
}

platform::Result<platform::CreatedEvent> FakeProcessesTokens::create_event(platform::SecurityDescriptor* descriptor,
                                                                           std::u16string_view name) {
  std::string kind = descriptor != nullptr ? "secured" : "default";
  log.add("CreateEventW(" + kind + ", " + narrow(name) + ")");
  if (auto it = create_event_failures.find(kind); it != create_event_failures.end()) return std::unexpected(it->second);
  return platform::CreatedEvent{make_object(log, "event:" + narrow(name)), existing_events.contains(narrow(name))};
}

std::optional<std::u16string> FakeProcessesTokens::environment_variable(std::u16string_view name) {
  log.add("GetEnvironmentVariableW(" + narrow(name) + ")");
  if (auto it = environment.find(std::u16string(name)); it != environment.end()) return it->second;
  return std::nullopt;
}

platform::Result<std::u16string> FakeProcessesTokens::executable_path() {
  return executable;
}
platform::Result<std::u16string> FakeProcessesTokens::system_directory() {
  return system_dir;
}

platform::Result<std::uint32_t> FakeProcessesTokens::run_and_wait(std::u16string_view application,
                                                                  std::u16string_view command_line) {
  log.add("CreateProcessW(" + narrow(application) + ", " + narrow(command_line) + ")");
  if (on_run) return on_run(application, command_line);
  return 0u;
}

std::u16string FakeProcessesTokens::system_message(ErrorCode code) {
  return u"System message " + widen(std::to_string(code)) + u".";
}

// ---- security and registry ----------------------------------------------------

platform::Result<platform::Descriptor> FakeSecurityRegistry::convert_sddl(std::u16string_view sddl) {
  auto text = narrow(sddl);
  log.add("ConvertStringSecurityDescriptorToSecurityDescriptorW(" + text + ")");
  if (auto it = sddl_failures.find(text); it != sddl_failures.end()) return std::unexpected(it->second);
  if (sddl_failure_containing && text.find(sddl_failure_containing->first) != std::string::npos)
    return std::unexpected(sddl_failure_containing->second);
  return fake_owned<platform::kind::SecurityDescriptor>(log, text, "LocalFree(" + text + ")");
}

std::expected<platform::Key, std::int32_t> FakeSecurityRegistry::open_local_machine_key(std::u16string_view path,
                                                                                        std::uint32_t access) {
  log.add("RegOpenKeyExW(HKLM, " + narrow(path) + ", " + std::to_string(access) + ")");
  if (open_key_status != 0) return std::unexpected(open_key_status);
  return fake_owned<platform::kind::RegistryKey>(log, "key", "RegCloseKey");
}

platform::RegistryValue FakeSecurityRegistry::query_value_size(platform::RegistryKey&, std::u16string_view name) {
  log.add("RegQueryValueExW(" + narrow(name) + ", size)");
  if (!value) return {.status = 2};
  return {.status = 0, .type = value->first, .size = static_cast<std::uint32_t>(value->second.size())};
}

platform::RegistryValue FakeSecurityRegistry::query_value_data(platform::RegistryKey&, std::u16string_view name,
                                                               std::uint32_t size) {
  log.add("RegQueryValueExW(" + narrow(name) + ", " + std::to_string(size) + ")");
  if (!value) return {.status = 2};
  if (value->second.size() > size)
    return {.status = 234, .type = value->first, .size = static_cast<std::uint32_t>(value->second.size())};
  return {.status = 0,
          .type = value->first,
          .size = static_cast<std::uint32_t>(value->second.size()),
          .data = value->second};
}

std::expected<platform::Key, std::int32_t> FakeSecurityRegistry::create_local_machine_key(std::u16string_view path,
                                                                                          std::uint32_t access) {
  const auto key_path = narrow(path);
  log.add("RegCreateKeyExW(HKLM, " + key_path + ", " + std::to_string(access) + ")");
  if (create_key_status != 0) return std::unexpected(create_key_status);
  keys[key_path];
  return fake_owned<platform::kind::RegistryKey>(log, key_path, "RegCloseKey(" + key_path + ")");
}

std::int32_t FakeSecurityRegistry::set_expand_string_value(platform::RegistryKey& key, std::u16string_view name,
                                                           std::u16string_view text) {
  log.add("RegSetValueExW(" + narrow(name) + ", REG_EXPAND_SZ)");
  if (set_value_status != 0) return set_value_status;
  keys[static_cast<FakeOwned<platform::kind::RegistryKey>&>(key).name()][narrow(name)] = {platform::reg_expand_sz,
                                                                                          narrow(text)};
  return 0;
}

std::int32_t FakeSecurityRegistry::set_dword_value(platform::RegistryKey& key, std::u16string_view name,
                                                   std::uint32_t number) {
  log.add("RegSetValueExW(" + narrow(name) + ", REG_DWORD)");
  if (set_value_status != 0) return set_value_status;
  keys[static_cast<FakeOwned<platform::kind::RegistryKey>&>(key).name()][narrow(name)] = {platform::reg_dword,
                                                                                          std::to_string(number)};
  return 0;
}

std::int32_t FakeSecurityRegistry::delete_local_machine_key(std::u16string_view path) {
  const auto key_path = narrow(path);
  log.add("RegDeleteKeyW(HKLM, " + key_path + ")");
  if (delete_key_status) return *delete_key_status;
  return keys.erase(key_path) == 1 ? 0 : 2;
}

// ---- trust ------------------------------------------------------------------

std::uint32_t FakeTrust::verify_file(std::u16string_view path, std::uint32_t provider_flags) {
  auto p = narrow(path);
  log.add("WinVerifyTrust(" + p + ", dwProvFlags " + hex32(provider_flags) + ")");
  if (auto it = results.find(p); it != results.end()) return it->second;
  return 0;
}

// ---- service control ------------------------------------------------------------

platform::Result<void> FakeServiceControl::run_dispatcher(std::u16string_view service_name,
                                                          platform::ServiceMain service_main) {
  log.add("StartServiceCtrlDispatcherW(" + narrow(service_name) + ")");
  if (dispatcher_failure) return std::unexpected(*dispatcher_failure);
  service_main(dispatcher_arguments);
  return {};
}

platform::Result<platform::StatusHandle> FakeServiceControl::register_control_handler(std::u16string_view service_name,
                                                                                      platform::ControlHandler h,
                                                                                      void* context) {
  log.add("RegisterServiceCtrlHandlerExW(" + narrow(service_name) + ")");
  if (register_failure) return std::unexpected(*register_failure);
  handler = h;
  handler_context = context;
  return platform::StatusHandle{0x5151};
}

platform::Result<void> FakeServiceControl::set_status(platform::StatusHandle, const platform::ServiceStatus& status) {
  log.add("SetServiceStatus(" + std::to_string(status.current_state) + ")");
  if (!status_failures.empty()) {
    auto code = status_failures.front();
    status_failures.pop_front();
    return std::unexpected(code);
  }
  statuses.push_back(status);
  if (on_status) on_status(status);
  return {};
}

platform::Result<platform::Service> FakeServiceControl::open_manager(std::uint32_t access) {
  log.add("OpenSCManagerW(" + hex32(access) + ")");
  if (open_manager_failure) return std::unexpected(*open_manager_failure);
  return fake_owned<platform::kind::ServiceHandle>(log, "manager", "CloseServiceHandle(manager)");
}

platform::Result<platform::Service> FakeServiceControl::open_service(platform::ServiceHandle&, std::u16string_view name,
                                                                     std::uint32_t access) {
  log.add("OpenServiceW(" + narrow(name) + ", " + hex32(access) + ")");
  if (open_service_failure) return std::unexpected(*open_service_failure);
  if (!service_exists) return std::unexpected(1060u);
  return fake_owned<platform::kind::ServiceHandle>(log, "service", "CloseServiceHandle(service)");
}

platform::Result<platform::Service> FakeServiceControl::create_service(platform::ServiceHandle&,
                                                                       const platform::ServiceDefinition& d) {
  log.add("CreateServiceW(" + narrow(d.name) + ")");
  if (create_failure) return std::unexpected(*create_failure);
  if (service_exists) return std::unexpected(platform::error_service_exists);
  created_name = d.name;
  created_display_name = d.display_name;
  created_binary_path = d.binary_path;
  created = d;
  created->name = created_name;
  created->display_name = created_display_name;
  created->binary_path = created_binary_path;
  service_exists = true;
  return fake_owned<platform::kind::ServiceHandle>(log, "new-service", "CloseServiceHandle(new-service)");
}

platform::Result<void> FakeServiceControl::delete_service(platform::ServiceHandle&) {
  log.add("DeleteService");
  if (delete_failure) return std::unexpected(*delete_failure);
  service_exists = false;
  return {};
}

namespace {

// Records ChangeServiceConfig2W at `level`; the error scripted for it, if any.
std::optional<platform::ErrorCode> change_config(CallLog& log,
                                                 const std::map<std::string, platform::ErrorCode>& failures,
                                                 const std::string& level) {
  log.add("ChangeServiceConfig2W(" + level + ")");
  if (auto it = failures.find(level); it != failures.end()) return it->second;
  return std::nullopt;
}

}  // namespace

platform::Result<void> FakeServiceControl::set_description(platform::ServiceHandle&, std::u16string_view text) {
  if (auto error = change_config(log, config_failures, "DESCRIPTION")) return std::unexpected(*error);
  description = std::u16string(text);
  return {};
}

platform::Result<void> FakeServiceControl::set_failure_actions(platform::ServiceHandle&,
                                                               const platform::FailureActions& actions) {
  if (auto error = change_config(log, config_failures, "FAILURE_ACTIONS")) return std::unexpected(*error);
  failure_actions = actions;
  return {};
}

platform::Result<void> FakeServiceControl::set_failure_actions_flag(platform::ServiceHandle&,
                                                                    bool on_non_crash_failures) {
  if (auto error = change_config(log, config_failures, "FAILURE_ACTIONS_FLAG")) return std::unexpected(*error);
  failure_actions_flag = on_non_crash_failures;
  return {};
}

// ---- event log --------------------------------------------------------------------

void PrintTo(const ReportedEvent& event, std::ostream* os) {
  *os << "{type " << event.type << ", " << hex32(event.id);
  for (const auto& insert : event.inserts) *os << ", \"" << insert << '"';
  *os << '}';
}

platform::Result<platform::EventSource> FakeEventLog::register_source(std::u16string_view name) {
  log.add("RegisterEventSourceW(" + narrow(name) + ")");
  if (register_failure) return std::unexpected(*register_failure);
  return fake_owned<platform::kind::EventSource>(log, "source", "DeregisterEventSource");
}

platform::Result<void> FakeEventLog::report(platform::EventSourceHandle&, std::uint16_t type, std::uint32_t id,
                                            std::span<const std::u16string> inserts) {
  log.add("ReportEventW(" + hex32(id) + ")");
  ReportedEvent event{.type = type, .id = id, .inserts = {}};
  for (const auto& insert : inserts) event.inserts.push_back(narrow(insert));
  reported.push_back(std::move(event));
  return {};
}

}  // namespace bv::fake
