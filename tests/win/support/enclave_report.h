#pragma once
// The report that the sample enclave (tools/vault_enclave.cpp) writes
// beside itself, "bv-enclave-{pipe token}.txt": "key=value" lines, the whole
// file replaced at each step, so that a reader sees none or a complete one.

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace bv::test {

// The report of the enclave started for `pipe_token` from `enclave_folder`.
std::wstring enclave_report_path(std::wstring_view enclave_folder, std::string_view pipe_token);

// That report once it holds the line `key=...` (checking every `poll_ms`);
// nothing when it does not after `timeout_ms`.
std::optional<std::map<std::string, std::string>> wait_for_enclave_report(std::wstring_view enclave_folder,
                                                                          std::string_view pipe_token,
                                                                          std::string_view key, DWORD timeout_ms,
                                                                          DWORD poll_ms = 20);

}  // namespace bv::test
