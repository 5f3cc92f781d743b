// entry_checks: what the options dialog accepts in its number entries and how
// it shows and reads numbers and folders — the integer check, the recording
// interval check with the user's decimal separator, the link mode's two
// lists. Plain functions, locale-independent (the separator is an argument),
// so tests drive them without a display. Called on the GUI thread.
#pragma once

#include <cstdint>
#include <string>

// An optionally signed decimal number within the 32-bit signed range, with
// nothing else around it ("80", "-5", "+7"; not "", "8o", " 80", "0x10").
bool parse_int32(const std::string& text, int32_t& value);

// A decimal number with the given decimal separator, optionally signed,
// with an optional exponent ("1,5", "-2", "1e3" when separator is ',').
// The other separator is not accepted. Only finite values.
bool parse_decimal(const std::string& text, char separator, double& value);

// The recording intervals are valid when both parse and the retention time,
// truncated to whole hours, exceeds the rotation time truncated likewise.
bool intervals_valid(const std::string& add_text, const std::string& remove_text,
                     char separator);

// Fixed point with four decimals and the given separator, no grouping:
// 1.0 -> "1,0000" with ','.
std::string format_fixed4(double value, char separator);

// A folder as a path prefix: with a trailing "/" (or "\") added when it has
// none; an empty text stays empty.
std::string as_folder_prefix(const std::string& folder);

// The link mode bit field: bit 31 the stream (0 main, 1 sub), bits 0-30 the
// transport code.
int32_t link_stream_index(int32_t link_mode);
int32_t link_transport_code(int32_t link_mode);
// The field for a chosen stream index and transport index; a transport
// index below 0 (nothing chosen) keeps the old field's transport code.
int32_t compose_link_mode(int32_t stream_index, int32_t transport_index, int32_t old_link_mode);
