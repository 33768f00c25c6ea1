#pragma once
// A fake platform layer for host tests. Every call is recorded, in order, in
// one CallLog as a short text such as "LogonUserW(BrisvanderUser, ., pw)" or
// "CloseHandle(logon-token)", so tests can assert the order of steps and of
// releases. Results are scripted through the public fields.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/running_flag.h"
#include "platform/platform.h"

namespace bv::fake {

std::string narrow(std::u16string_view text);  // UTF-16 to UTF-8 for the log
std::u16string widen(std::string_view text);   // UTF-8 to UTF-16

class CallLog {
 public:
  void add(std::string call) { calls_.push_back(std::move(call)); }
  const std::vector<std::string>& calls() const { return calls_; }
  void clear() { calls_.clear(); }
  bool contains(std::string_view call) const;
  // Number of recorded calls that start with `prefix`.
  std::size_t count(std::string_view prefix) const;
  // Position of the first call equal to `call`, or npos.
  std::size_t index_of(std::string_view call) const;
  // The recorded calls that start with one of the prefixes, in order.
  std::vector<std::string> only(std::initializer_list<std::string_view> prefixes) const;

 private:
  std::vector<std::string> calls_;
};

// An owner known by name; destroying it records its release call (for
// instance "CloseHandle(logon-token)"), unless it was abandoned.
template <class Kind>
class FakeOwned final : public platform::Owned<Kind> {
 public:
  FakeOwned(CallLog& log, std::string name, std::string release_call)
      : log_(log), name_(std::move(name)), release_call_(std::move(release_call)) {}
  ~FakeOwned() override {
    if (!abandoned_) log_.add(release_call_);
  }
  void abandon() noexcept override { abandoned_ = true; }
  const std::string& name() const { return name_; }

 private:
  CallLog& log_;
  std::string name_;
  std::string release_call_;
  bool abandoned_ = false;
};
using FakeObject = FakeOwned<platform::kind::KernelObject>;

// The name of a fake kernel object.
const std::string& name_of(platform::KernelObject& object);
// A kernel object whose release records CloseHandle(name).
platform::Object make_object(CallLog& log, std::string name);

class FakeClock : public platform::Clock {
 public:
  explicit FakeClock(CallLog& log) : log_(log) {}
  std::chrono::milliseconds now() override { return now_; }
  void sleep_for(std::chrono::milliseconds duration) override;
  void advance(std::chrono::milliseconds duration) { now_ += duration; }
  bool log_sleeps = true;
  // Called after each sleep (with its duration), e.g. to stop a loop that
  // would otherwise retry for ever.
  std::function<void(std::chrono::milliseconds)> on_sleep;

 private:
  CallLog& log_;
  std::chrono::milliseconds now_{1'000'000};
};

class FakeConsole : public platform::Console {
 public:
  void write_stdout(std::string_view bytes) override { out += bytes; }
  void write_stderr(std::string_view bytes) override { err += bytes; }
  std::vector<std::string> err_lines() const;  // stderr split at line feeds
  std::string out;
  std::string err;
};

// One scripted client of the named pipe.
struct FakeClient {
  platform::ConnectOutcome connect{.succeeded = true};
  std::string sends;                      // the bytes the client writes
  bool closes_after_sending = true;       // then reads fail with ERROR_BROKEN_PIPE
  std::chrono::milliseconds per_byte{0};  // time each byte takes to arrive
  platform::Result<std::uint32_t> process_id = 4100;
  bool reads_reply = true;  // closes its end once the reply is written
  // What happened, filled in by the fake:
  std::size_t bytes_read = 0;
  std::string received;  // what the service wrote
  bool disconnected = false;
};

class FakePipesFiles;

// One instance. Each connect takes the next client of FakePipesFiles::clients;
// the client is done (moved to `served`) when it is disconnected, when the
// instance is closed, or at once when its connect reports an error that
// leaves nobody connected (anything but ERROR_PIPE_CONNECTED and
// ERROR_NO_DATA). Made with a client, the instance starts connected to it.
class FakePipe : public platform::PipeInstance {
 public:
  explicit FakePipe(FakePipesFiles& owner, FakeClient* connected = nullptr);
  ~FakePipe() override;
  platform::ConnectOutcome connect(platform::WakeEvent* wake) override;
  platform::ReadOutcome read_byte(std::chrono::milliseconds timeout) override;
  platform::ReadOutcome wait_for_data(std::chrono::milliseconds timeout) override;
  platform::Result<void> write(std::string_view bytes, std::chrono::milliseconds timeout) override;
  platform::ErrorCode peek() override;
  platform::Result<void> disconnect() override;
  platform::Result<std::uint32_t> client_process_id() override;

 private:
  void finish_client();

  FakePipesFiles& owner_;
  FakeClient* client_;  // the front of owner_.clients while connected, else null
};

// The wake event. A wait records WaitForSingleObject(wake, N) and, with a
// clock, lets the time pass that it waited: none when the event is set (or
// gets set by `during_wait`), all of it otherwise.
class FakeWake : public platform::WakeEvent {
 public:
  explicit FakeWake(CallLog& log, FakeClock* clock = nullptr) : log_(log), clock_(clock) {}
  platform::Result<void> set() override {
    is_set = true;
    log_.add("SetEvent(wake)");
    return {};
  }
  bool wait(std::chrono::milliseconds timeout) override;
  bool is_set = false;
  std::function<void()> during_wait;  // e.g. a stop that arrives while the loop waits

 private:
  CallLog& log_;
  FakeClock* clock_;
};

class FakePipesFiles : public platform::PipesFiles {
 public:
  FakePipesFiles(CallLog& call_log, FakeClock& fake_clock) : log(call_log), clock(fake_clock) {}

  platform::Result<platform::Pipe> create_named_pipe(std::u16string_view name,
                                                     platform::SecurityDescriptor& descriptor) override;
  platform::Result<platform::AnonymousPipe> create_anonymous_pipe() override;
  platform::Result<void> clear_inherit_flag(platform::KernelObject& handle) override;
  platform::Result<void> write_file(platform::KernelObject& handle, std::string_view bytes) override;
  platform::Result<platform::Object> create_file(std::u16string_view path, platform::SecurityDescriptor* descriptor,
                                                 platform::FileCreation creation) override;
  platform::Result<void> delete_file(std::u16string_view path) override;
  std::uint32_t drive_type(std::u16string_view root) override;
  platform::Result<std::u16string> temp_directory() override;

  CallLog& log;
  FakeClock& clock;
  // Clients in the order they come; each create_named_pipe takes the next.
  std::deque<FakeClient> clients;
  std::vector<FakeClient> served;  // clients whose instance was closed
  // When no client is left, connect() clears this flag and reports a wake.
  RunningFlag* stop_when_idle = nullptr;
  std::deque<platform::ErrorCode> create_pipe_failures;  // CreateNamedPipeW fails with these first
  std::deque<platform::ErrorCode> disconnect_failures;   // the next DisconnectNamedPipe calls fail with these
  std::map<std::string, std::uint32_t> drive_types;      // by root (UTF-8); default DRIVE_FIXED
  std::optional<platform::ErrorCode> anonymous_pipe_failure;
  std::map<std::string, platform::ErrorCode> create_file_failures;  // by path (UTF-8)
  std::map<std::string, platform::ErrorCode> delete_file_failures;  // by path (UTF-8); the file stays
  std::map<std::string, std::string> files;                         // path (UTF-8) -> content
  std::map<std::string, std::string> written;                       // object name -> bytes written with write_file
  platform::Result<std::u16string> temp = std::u16string(u"C:\\Temp\\");
};

class FakeProcessesTokens : public platform::ProcessesTokens {
 public:
  explicit FakeProcessesTokens(CallLog& call_log) : log(call_log) {}

  platform::Result<platform::Object> open_process(std::uint32_t access, std::uint32_t process_id) override;
  platform::Result<platform::ImageName> query_image_name(platform::KernelObject& process) override;
  platform::Result<platform::Object> open_process_token(platform::KernelObject& process, std::uint32_t access) override;
  std::optional<std::u16string> token_user_sid(platform::KernelObject& token) override;
  platform::Result<platform::Object> logon_user(std::u16string_view user, std::u16string_view domain,
                                                std::u16string_view password) override;
  platform::Result<platform::Profile> load_user_profile(platform::KernelObject& token,
                                                        std::u16string_view user) override;
  platform::Result<platform::Environment> create_environment_block(platform::KernelObject& token) override;
  platform::Result<platform::CreatedProcess> create_process_as_user(platform::KernelObject& token,
                                                                    std::u16string_view command_line,
                                                                    platform::EnvironmentBlock* block,
                                                                    platform::KernelObject& stdin_read) override;
  platform::Result<platform::Object> create_job() override;
  platform::Result<void> assign_to_job(platform::KernelObject& job, platform::KernelObject& process) override;
  platform::Result<void> resume_thread(platform::KernelObject& thread) override;
  platform::Result<void> terminate_job(platform::KernelObject& job, std::uint32_t exit_code) override;
  platform::Result<std::uint32_t> exit_code(platform::KernelObject& process) override;
  std::uint32_t wait(platform::KernelObject& object, std::uint32_t milliseconds) override;
  platform::Result<void> terminate(platform::KernelObject& process, std::uint32_t exit_code) override;
  platform::Result<void> set_event(platform::KernelObject& event) override;
  platform::Result<platform::CreatedEvent> create_event(platform::SecurityDescriptor* descriptor,
                                                        std::u16string_view name) override;
  platform::Result<std::unique_ptr<platform::WakeEvent>> create_wake_event() override;
  std::optional<std::u16string> environment_variable(std::u16string_view name) override;
  platform::Result<std::u16string> executable_path() override;
  platform::Result<std::u16string> system_directory() override;
  platform::Result<std::uint32_t> run_and_wait(std::u16string_view application,
                                               std::u16string_view command_line) override;
  std::u16string system_message(platform::ErrorCode code) override;

  CallLog& log;
  // Objects are named "process:{pid}", "token:{pid}" (caller), "logon-token",
  // "enclave-process:{pid}", "enclave-thread:{pid}", "job", "event:{name}".
  std::map<std::uint32_t, platform::ErrorCode> open_process_failures;          // by pid
  std::map<std::uint32_t, platform::Result<platform::ImageName>> image_names;  // by pid; default error 31
  std::map<std::uint32_t, platform::ErrorCode> open_token_failures;            // by pid
  std::map<std::string, std::u16string> sids;                                  // token name -> SID; absent: none
  std::optional<platform::ErrorCode> logon_failure;
  std::map<std::string, platform::ErrorCode> refused_passwords;  // password (UTF-8) -> LogonUserW's error
  std::optional<platform::ErrorCode> profile_failure;
  std::optional<platform::ErrorCode> environment_failure;
  std::optional<platform::ErrorCode> create_process_failure;
  std::uint32_t next_process_id = 4242;
  std::vector<std::u16string> command_lines;                          // of create_process_as_user
  std::map<std::string, platform::Result<std::uint32_t>> exit_codes;  // by object name; default STILL_ACTIVE
  // By object name; default WAIT_OBJECT_0, and WAIT_OBJECT_0 once the
  // process was terminated unless it is unkillable.
  std::map<std::string, std::uint32_t> wait_results;
  std::set<std::string> unkillable;  // processes that TerminateProcess does not end
  std::set<std::string> terminated;  // processes ended by TerminateProcess or with their job
  std::optional<platform::ErrorCode> create_job_failure;
  std::optional<platform::ErrorCode> assign_failure;
  std::optional<platform::ErrorCode> resume_failure;
  std::map<std::string, std::vector<std::string>> job_processes;     // job name -> processes assigned to it
  std::map<std::string, platform::ErrorCode> create_event_failures;  // "secured" or "default"
  std::set<std::string> existing_events;  // names that CreateEventW opens instead of making (ERROR_ALREADY_EXISTS)
  std::optional<platform::ErrorCode> wake_event_failure;             // create_wake_event fails with this
  std::map<std::u16string, std::u16string> environment;
  platform::Result<std::u16string> executable = std::u16string(u"C:\\Program Files\\Brisvander\\brisvander-svc.exe");
  platform::Result<std::u16string> system_dir = std::u16string(u"C:\\Windows\\system32");
  std::function<platform::Result<std::uint32_t>(std::u16string_view, std::u16string_view)> on_run;
};

class FakeSecurityRegistry : public platform::SecurityRegistry {
 public:
  explicit FakeSecurityRegistry(CallLog& call_log) : log(call_log) {}
  platform::Result<platform::Descriptor> convert_sddl(std::u16string_view sddl) override;
  std::expected<platform::Key, std::int32_t> open_local_machine_key(std::u16string_view path,
                                                                    std::uint32_t access) override;
  platform::RegistryValue query_value_size(platform::RegistryKey& key, std::u16string_view name) override;
  platform::RegistryValue query_value_data(platform::RegistryKey& key, std::u16string_view name,
                                           std::uint32_t size) override;

  CallLog& log;
  // SDDL texts (UTF-8) whose conversion fails, with the error.
  std::map<std::string, platform::ErrorCode> sddl_failures;
  // Fails every conversion whose text contains this, when set.
  std::optional<std::pair<std::string, platform::ErrorCode>> sddl_failure_containing;
  std::int32_t open_key_status = 0;
  // The stored value; absent: the data query fails with 2.
  std::optional<std::pair<std::uint32_t, std::vector<std::uint8_t>>> value;

  // What the registry writes leave: keys by path (UTF-8), each with its
  // values by name. A value keeps its type and its data as text (a number
  // in decimal).
  struct WrittenValue {
    std::uint32_t type = 0;
    std::string data;
    bool operator==(const WrittenValue&) const = default;
  };
  using WrittenKey = std::map<std::string, WrittenValue>;
  std::expected<platform::Key, std::int32_t> create_local_machine_key(std::u16string_view path,
                                                                      std::uint32_t access) override;
  std::int32_t set_expand_string_value(platform::RegistryKey& key, std::u16string_view name,
                                       std::u16string_view text) override;
  std::int32_t set_dword_value(platform::RegistryKey& key, std::u16string_view name, std::uint32_t value) override;
  std::int32_t delete_local_machine_key(std::u16string_view path) override;
  std::map<std::string, WrittenKey> keys;
  std::int32_t create_key_status = 0;  // RegCreateKeyExW fails with this when not 0
  std::int32_t set_value_status = 0;   // every RegSetValueExW fails with this when not 0
  // RegDeleteKeyW gives this when set; otherwise 0 for a key in `keys`, 2 for any other.
  std::optional<std::int32_t> delete_key_status;
};

class FakeTrust : public platform::Trust {
 public:
  explicit FakeTrust(CallLog& call_log) : log(call_log) {}
  std::uint32_t verify_file(std::u16string_view path, std::uint32_t provider_flags) override;
  CallLog& log;
  std::map<std::string, std::uint32_t> results;  // by path (UTF-8); default 0
};

class FakeServiceControl : public platform::ServiceControl {
 public:
  explicit FakeServiceControl(CallLog& call_log) : log(call_log) {}
  platform::Result<void> run_dispatcher(std::u16string_view service_name, platform::ServiceMain service_main) override;
  platform::Result<platform::StatusHandle> register_control_handler(std::u16string_view service_name,
                                                                    platform::ControlHandler handler,
                                                                    void* context) override;
  platform::Result<void> set_status(platform::StatusHandle handle, const platform::ServiceStatus& status) override;
  platform::Result<platform::Service> open_manager(std::uint32_t access) override;
  platform::Result<platform::Service> open_service(platform::ServiceHandle& manager, std::u16string_view name,
                                                   std::uint32_t access) override;
  platform::Result<platform::Service> create_service(platform::ServiceHandle& manager,
                                                     const platform::ServiceDefinition& definition) override;
  platform::Result<void> delete_service(platform::ServiceHandle& service) override;
  platform::Result<void> set_description(platform::ServiceHandle& service, std::u16string_view description) override;
  platform::Result<void> set_failure_actions(platform::ServiceHandle& service,
                                             const platform::FailureActions& actions) override;
  platform::Result<void> set_failure_actions_flag(platform::ServiceHandle& service,
                                                  bool on_non_crash_failures) override;

  CallLog& log;
  std::optional<platform::ErrorCode> dispatcher_failure;
  std::vector<std::u16string> dispatcher_arguments;
  std::optional<platform::ErrorCode> register_failure;
  platform::ControlHandler handler = nullptr;
  void* handler_context = nullptr;
  std::vector<platform::ServiceStatus> statuses;
  std::deque<platform::ErrorCode> status_failures;  // the next set_status calls fail with these
  std::optional<platform::ErrorCode> open_manager_failure;
  bool service_exists = false;
  std::optional<platform::ErrorCode> open_service_failure;  // even when it exists
  std::optional<platform::ErrorCode> create_failure;
  std::optional<platform::ErrorCode> delete_failure;
  std::optional<platform::ServiceDefinition> created;  // views into strings kept below
  std::u16string created_name, created_display_name, created_binary_path;
  // Called (on the same thread) after each set_status, e.g. to send a stop.
  std::function<void(const platform::ServiceStatus&)> on_status;
  // What ChangeServiceConfig2W stored, and the levels at which it fails
  // ("DESCRIPTION", "FAILURE_ACTIONS", "FAILURE_ACTIONS_FLAG"), with the error.
  std::optional<std::u16string> description;
  std::optional<platform::FailureActions> failure_actions;
  std::optional<bool> failure_actions_flag;
  std::map<std::string, platform::ErrorCode> config_failures;
};

// One ReportEventW call: the type, the full ID and the inserts (UTF-8).
struct ReportedEvent {
  std::uint16_t type = 0;
  std::uint32_t id = 0;
  std::vector<std::string> inserts;
  bool operator==(const ReportedEvent&) const = default;
};
void PrintTo(const ReportedEvent& event, std::ostream* os);

// The event log. Registering records RegisterEventSourceW(name), the
// source's release DeregisterEventSource, each report ReportEventW(0x{id}).
class FakeEventLog : public platform::EventLog {
 public:
  explicit FakeEventLog(CallLog& call_log) : log(call_log) {}
  platform::Result<platform::EventSource> register_source(std::u16string_view name) override;
  platform::Result<void> report(platform::EventSourceHandle& source, std::uint16_t type, std::uint32_t id,
                                std::span<const std::u16string> inserts) override;

  CallLog& log;
  std::optional<platform::ErrorCode> register_failure;
  std::vector<ReportedEvent> reported;
};

// All fakes wired together, sharing one log.
struct FakePlatform {
  CallLog log;
  FakeClock clock{log};
  FakeConsole console;
  FakePipesFiles files{log, clock};
  FakeProcessesTokens processes{log};
  FakeSecurityRegistry security{log};
  FakeTrust trust{log};
  FakeServiceControl services{log};
  FakeEventLog events{log};
  platform::Platform platform{services, files, processes, security, trust, clock, console, events};
};

}  // namespace bv::fake
