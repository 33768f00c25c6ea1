#pragma once
// The system's fixed names and numbers, in one place for the service and
// for everything around it: the tests, the soak, the bench and the tools.
// It includes nothing of the project, so any program may use it.
//
// The names are plain ASCII, so each is the same text in every character
// type: names::service_name<char16_t> for the portable code,
// names::service_name<wchar_t> for Win32 programs, names::service_name<>
// (char) for UTF-8 text.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace bv::names {
namespace detail {

template <class Char, std::size_t Size>
struct Units {
  Char value[Size];
};

template <class Char, std::size_t Size>
constexpr Units<Char, Size> widen(const char (&ascii)[Size]) {
  Units<Char, Size> units{};
  for (std::size_t i = 0; i < Size; ++i) units.value[i] = static_cast<Char>(ascii[i]);
  return units;
}

template <class Char, const auto& Ascii>
inline constexpr auto units_of = widen<Char>(Ascii);

// The ASCII text `Ascii` as a view of `Char` units (terminated by a zero
// unit that the view leaves out).
template <class Char, const auto& Ascii>
inline constexpr std::basic_string_view<Char> view_of{units_of<Char, Ascii>.value, sizeof(Ascii) - 1};

inline constexpr char service_name[] = "BrisvanderEnclaveSvc";
inline constexpr char display_name[] = "Brisvander Enclave Service";
inline constexpr char pipe_name[] = R"(\\.\pipe\brisvander-svc)";
inline constexpr char account_name[] = "BrisvanderUser";

}  // namespace detail

// The service's name, under which it is registered and dispatched.
template <class Char = char>
inline constexpr std::basic_string_view<Char> service_name = detail::view_of<Char, detail::service_name>;
// The display name of its registration.
template <class Char = char>
inline constexpr std::basic_string_view<Char> display_name = detail::view_of<Char, detail::display_name>;
// The named pipe it serves.
template <class Char = char>
inline constexpr std::basic_string_view<Char> pipe_name = detail::view_of<Char, detail::pipe_name>;
// The isolation account that its enclaves run under.
template <class Char = char>
inline constexpr std::basic_string_view<Char> account_name = detail::view_of<Char, detail::account_name>;

// The service-specific exit codes that the service reports with
// ERROR_SERVICE_SPECIFIC_ERROR when it stops for a failure: serving ended
// through an unexpected exception, or the account password could not be
// read. A requested stop reports exit code 0.
inline constexpr std::uint32_t serving_failed_exit_code = 1;
inline constexpr std::uint32_t password_unreadable_exit_code = 2;

}  // namespace bv::names
