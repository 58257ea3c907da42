// Rules of the core commands that need no Windows header: the core's command line and
// stop_core's timeout_ms parsing.
#pragma once

#include <cstdint>
#include <string>

namespace varnelo {

constexpr std::uint32_t kDefaultStopTimeoutMs = 3000;

// Leading white space, optional sign, decimal digits up to the first other character; no digits
// gives 0; out-of-range values clamp to the signed 32-bit limits. The caller uses the result as an
// unsigned count of milliseconds, so -1 means "no limit".
std::int32_t ParseTimeoutMs(const std::string& text);

// `argument` in double quotes, escaped so that CommandLineToArgvW and the C runtime read it back
// unchanged: backslashes before a quote (the closing one too) are doubled, a quote is escaped.
std::wstring QuoteArgument(const std::wstring& argument);

// VarneloCore.exe -d "<data dir>" -f "<config>", each value quoted by QuoteArgument, built at
// whatever length it needs.
// Returns false (and builds nothing) when a value holds a double quote, which would let a
// caller end the quoted argument and add arguments of its own.
bool BuildCoreCommandLine(const std::wstring& data_directory, const std::wstring& config_path,
                          std::wstring* command_line);

}  // namespace varnelo
