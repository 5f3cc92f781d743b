// entry_checks: number syntax, the interval rule, number formatting and the
// link mode fields of the options dialog.
#include "app/entry_checks.h"

#include <charconv>
#include <cmath>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Skips a run of digits from position i; returns how many there were.
size_t skip_digits(const std::string& text, size_t& i)
{
    const size_t start = i;
    while (i < text.size() && is_digit(text[i]))
        ++i;
    return i - start;
}

}  // namespace

bool parse_int32(const std::string& text, int32_t& value)
{
    size_t i = 0;
    if (!text.empty() && (text[0] == '+' || text[0] == '-'))
        i = 1;
    size_t end = i;
    if (skip_digits(text, end) == 0 || end != text.size())
        return false;
    // from_chars takes a '-' but no '+'.
    const char* first = text.data() + (text[0] == '+' ? 1 : 0);
    int32_t parsed = 0;
    const auto result = std::from_chars(first, text.data() + text.size(), parsed);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size())
        return false;
    value = parsed;
    return true;
}

bool parse_decimal(const std::string& text, char separator, double& value)
{
    // Checked here, converted by from_chars (which knows only '.', and no
    // locale, unlike strtod in a process whose locale uses ',').
    std::string plain;
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        if (text[i] == '-')
            plain += '-';
        ++i;
    }
    size_t start = i;
    size_t digits = skip_digits(text, i);
    plain += text.substr(start, i - start);
    if (i < text.size() && text[i] == separator) {
        ++i;
        start = i;
        const size_t fraction = skip_digits(text, i);
        digits += fraction;
        if (fraction > 0)
            plain += '.' + text.substr(start, i - start);
    }
    if (digits == 0)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        plain += 'e';
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            plain += text[i++];
        start = i;
        if (skip_digits(text, i) == 0)
            return false;
        plain += text.substr(start, i - start);
    }
    if (i != text.size())
        return false;
    double parsed = 0.0;
    const auto result = std::from_chars(plain.data(), plain.data() + plain.size(), parsed);
    if (result.ec != std::errc() || result.ptr != plain.data() + plain.size() ||
        !std::isfinite(parsed))
        return false;
    value = parsed;
    return true;
}

bool intervals_valid(const std::string& add_text, const std::string& remove_text, char separator)
{
    double add = 0.0;
    double remove = 0.0;
    if (!parse_decimal(add_text, separator, add) || !parse_decimal(remove_text, separator, remove))
        return false;
    // Whole hours after truncation toward zero: 1.5 and 1.9 are both 1.
    return std::trunc(remove) > std::trunc(add);
}

std::string format_fixed4(double value, char separator)
{
    // to_chars is locale-independent: the point it writes is always '.'.
    // 1e308 in fixed notation takes 309 digits before the point.
    char buffer[400];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 4);
    if (result.ec != std::errc())
        return std::string();
    std::string text(buffer, result.ptr);
    for (char& c : text)
        if (c == '.')
            c = separator;
    return text;
}

std::string as_folder_prefix(const std::string& folder)
{
    if (folder.empty() || folder.back() == '/' || folder.back() == '\\')
        return folder;
    return folder + "/";
}

int32_t link_stream_index(int32_t link_mode)
{
    return static_cast<int32_t>(static_cast<uint32_t>(link_mode) >> 31);
}

int32_t link_transport_code(int32_t link_mode)
{
    return static_cast<int32_t>(static_cast<uint32_t>(link_mode) & 0x7FFFFFFFu);
}

int32_t compose_link_mode(int32_t stream_index, int32_t transport_index, int32_t old_link_mode)
{
    const uint32_t transport = transport_index >= 0 ? static_cast<uint32_t>(transport_index)
                                                    : static_cast<uint32_t>(link_transport_code(old_link_mode));
    const uint32_t stream = stream_index > 0 ? 1u : 0u;
    return static_cast<int32_t>((stream << 31) | (transport & 0x7FFFFFFFu));
}
