#pragma once
// The provisioning script that --setup-m5 hands to Windows PowerShell.

#include <string_view>

namespace bv::admin {

// Creates the isolation account BrisvanderUser or gives it a new password
// (20 random upper-case hexadecimal digits and a fixed four-character suffix
// that adds the other character classes), protects HKLM\SOFTWARE\Brisvander
// so that only SYSTEM and Administrators reach it, then stores the password
// in its SvcUserPwd value, and starts the service.
//
// The key is protected before the value is written, so the password never
// sits under the access list inherited from SOFTWARE (which lets Users read).
// Any failure but the two lookups that are allowed to fail (the user, the
// service start) ends the script with a non-zero status, so a failed
// protection never goes on to store the password.
//
// One statement per line, each line ended by CR LF; plain ASCII, no
// byte-order mark.
extern const std::string_view m5_setup_script;

}  // namespace bv::admin
