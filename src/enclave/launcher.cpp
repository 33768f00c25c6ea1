#include "enclave/launcher.h"

#include <expected>
#include <string>
#include <utility>

#include "common/names.h"
#include "enclave/artefacts.h"
#include "secret/secret.h"
#include "text/utf.h"

namespace bv::enclave {

namespace {

constexpr std::u16string_view account_domain = u".";  // the local account database
// The exit code of an enclave ended before it ran.
constexpr std::uint32_t abandoned_exit_code = 1;

// The password as UTF-16, converted straight into a container that is wiped
// when released. Its room is reserved before the first unit goes in, so no
// reallocation and no temporary leaves a copy behind.
SecretU16String password_utf16(std::string_view password) {
  SecretU16String wide;
  wide.get().reserve(password.size() + 1);
  text::append_utf16(wide.get(), password);
  return wide;
}

// LogonUserW for the isolation account. The UTF-16 copy of the password
// lives for the call alone.
platform::Result<platform::Object> log_on(platform::ProcessesTokens& processes, std::string_view password) {
  SecretU16String wide = password_utf16(password);
  return processes.logon_user(names::account_name<char16_t>, account_domain, wide.get());
}

// A logon refused for a wrong password (ERROR_LOGON_FAILURE) is tried once
// more, and only when the stored password has changed since it was read: the
// account was given a new one while the service ran. Any other failure, or
// the same password, stands. The result is the last attempt's.
platform::Result<platform::Object> log_on_account(AccountPassword& password, platform::ProcessesTokens& processes) {
  auto token = log_on(processes, password.get());
  if (token || token.error() != platform::error_logon_failure || !password.reload()) return token;
  return log_on(processes, password.get());
}

// The enclave's command line: the path in double quotes, which keep it one
// argument, then the options. Every other value goes in unquoted and
// unescaped. The allowed SID, the shutdown event and the hand-over file are
// named only when there is one.
std::string enclave_command_line(const LaunchInputs& inputs, const ShutdownEvent& event,
                                 const std::optional<std::string>& secret_file) {
  std::string line;
  line += '"';
  line += inputs.enclave_path;
  line += '"';
  line += " --pipe-token ";
  line += inputs.pipe_token;
  if (inputs.allowed_sid) {
    line += " --pipe-allow-sid ";
    line += *inputs.allowed_sid;
  }
  line += " --service-verified";
  if (event.handle) {
    line += " --shutdown-event ";
    line += event.name;
  }
  if (secret_file) {
    line += " --ipc-secret-file \"";
    line += *secret_file;
    line += '"';
  }
  return line;
}

std::string failure(std::string_view call, platform::ErrorCode code) {
  return std::string(call) + " failed: error " + std::to_string(code);
}

// Puts the suspended enclave into a new job and lets it run. The job's
// limits allow no breakaway, so everything the enclave starts is in the job
// too, from its first instruction on. The job, or the failure message (a job
// already made is closed then; the process stays suspended).
std::expected<platform::Object, std::string> contain_and_resume(platform::CreatedProcess& started,
                                                                platform::ProcessesTokens& processes) {
  auto job = processes.create_job();
  if (!job) return std::unexpected(failure("CreateJobObject", job.error()));
  if (auto assigned = processes.assign_to_job(**job, *started.process); !assigned) {
    job->reset();
    return std::unexpected(failure("AssignProcessToJobObject", assigned.error()));
  }
  if (auto resumed = processes.resume_thread(*started.thread); !resumed) {
    job->reset();
    return std::unexpected(failure("ResumeThread", resumed.error()));
  }
  return std::move(*job);
}

}  // namespace

// Every handle made here belongs to this launch and is released at a fixed
// step, on each path out: the profile is unloaded just before the token it
// was loaded for is closed, and the token is always closed last. A
// successful launch hands the shutdown event, the enclave's process handle,
// its job and the loaded profile with its token to the caller.
LaunchResult launch_enclave(const LaunchInputs& inputs, platform::Platform& platform, Log& log) {
  auto& processes = platform.processes;
  auto& files = platform.files;

  auto logon = log_on_account(inputs.account_password, processes);
  if (!logon) {
    return std::unexpected("LogonUser failed for '" + std::string(names::account_name<>) + "': error " +
                           std::to_string(logon.error()));
  }
  platform::Object token = std::move(*logon);

  // The profile gives the enclave its per-account folders; without it the
  // launch goes on.
  platform::Profile profile;
  if (auto loaded = processes.load_user_profile(*token, names::account_name<char16_t>)) {
    profile = std::move(*loaded);
  } else {
    log.report(Event::profile_not_loaded, std::to_string(loaded.error()));
  }

  // The pipe that carries the secret line to the enclave's standard input.
  auto created_pipe = files.create_anonymous_pipe();
  if (!created_pipe) {
    const platform::ErrorCode code = created_pipe.error();
    profile.reset();
    token.reset();
    return std::unexpected("CreatePipe failed: " + std::to_string(code));
  }
  platform::Object stdin_read = std::move(created_pipe->read_end);
  platform::Object stdin_write = std::move(created_pipe->write_end);

  // The enclave inherits every inheritable handle of the service, so only
  // the read end may stay inheritable.
  // (A failure is not examined: the launch goes on either way.)
  static_cast<void>(files.clear_inherit_flag(*stdin_write));

  // The artefacts are each optional; the command line names those that were
  // made. Both exist, and the file is closed, before the enclave starts.
  ShutdownEvent event = create_shutdown_event(platform, *token, inputs.pipe_token);
  auto secret_file = write_secret_file(platform, *token, inputs.pipe_token, inputs.ipc_secret);
  const std::string command_line = enclave_command_line(inputs, event, secret_file);

  // The account's own environment; without it the enclave inherits the
  // service's.
  platform::Environment environment;
  if (auto block = processes.create_environment_block(*token)) {
    environment = std::move(*block);
  } else {
    log.report(Event::environment_not_made, std::to_string(block.error()));
  }

  // The error code travels in the result, so it stays the start's own
  // whatever is closed afterwards.
  auto started = processes.create_process_as_user(*token, text::to_utf16(command_line), environment.get(), *stdin_read);
  environment.reset();
  stdin_read.reset();

  // A launch that fails from here on releases what it made, and deletes the
  // hand-over file: the secret in it would reach no enclave.
  const auto release_and_fail = [&](std::string message) -> LaunchResult {
    stdin_write.reset();
    event.handle.reset();
    profile.reset();
    delete_secret_file(files, secret_file);
    token.reset();
    return std::unexpected(std::move(message));
  };
  if (!started) return release_and_fail(failure("CreateProcessAsUser", started.error()));

  auto job = contain_and_resume(*started, processes);
  if (!job) {
    // Still suspended, the process has run nothing and opened nothing. (A
    // failed termination is not examined: such a process never runs.)
    static_cast<void>(processes.terminate(*started->process, abandoned_exit_code));
    started->thread.reset();
    started->process.reset();
    return release_and_fail(std::move(job.error()));
  }

  // Closing the write end right after the line gives the enclave end of
  // file once it has read it.
  {
    SecretString line = secret_line(inputs.ipc_secret);
    // An enclave that did not get the line is the enclave's concern.
    static_cast<void>(files.write_file(*stdin_write, line.get()));
  }
  stdin_write.reset();

  // The thread handle is not needed. The process handle goes to the caller,
  // so the enclave is later reached through the handle of the very process
  // started here, never through an id that may have been reused.
  started->thread.reset();

  // A loaded profile stays loaded while the enclave runs (unloading it would
  // take the account's registry hive away from it): the profile and the
  // token its unload needs go to the caller, who releases them once the
  // enclave has ended. Without a profile the token is done with here.
  if (!profile) token.reset();

  return LaunchedEnclave{.process_id = started->process_id,
                         .process = std::move(started->process),
                         .shutdown_event = std::move(event.handle),
                         .job = std::move(*job),
                         .logon_token = std::move(token),
                         .profile = std::move(profile),
                         .secret_file = std::move(secret_file)};
}

}  // namespace bv::enclave
