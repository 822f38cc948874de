// The reader's named settings as typed accessors.  Every accessor reads or
// writes one setting's text through config_get / config_set and converts
// between the caller's number or flag and the reader's text.
//
// Setters and getters are not always inverses, and callers rely on that:
// the deghost setters write "1"/"0" and the synch regulatory time-out setter
// a number, while their getters report 1 only for the text "yes" (any case);
// the 96-bit getter takes any text that starts with the number 96.
#include <strings.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "guard.h"
#include "frame.h"

using namespace qd;

namespace {

constexpr Operation<&wire::config_get_1, char*> config_get_op{.check = "config_get"};
constexpr Operation<&wire::config_set_1, int> config_set_op{.check = "config_set", .failure = -1};

struct FreeText {
    void operator()(char* text) const { std::free(text); }
};
using Text = std::unique_ptr<char, FreeText>;

// A heap copy of the setting's text; null for a bad handle, a null name or
// a failed call.
Text config_get(reader_handle handle, const char* name)
{
    Frame frame(config_get_op, handle);
    if (!frame || !name)
        return Text(frame.failure());
    return Text(frame.run(const_cast<char*>(name), [](char* value) {
        // Memory that runs out for the copy fails the read with -120, not
        // with a stale reader_errno.
        char* copy = strdup(value ? value : "");
        if (!copy)
            throw std::bad_alloc();
        return copy;
    }));
}

int config_set(reader_handle handle, const char* name, const char* value)
{
    Frame frame(config_set_op, handle);
    if (!frame)
        return frame.failure();
    wire::name_value request{};
    request.name = const_cast<char*>(name);   // only encoded from
    request.value = const_cast<char*>(value);
    return frame.run(request, nothing);
}

// Formats into the 16-byte buffer that every setting's text fits.
template <class... Args>
int config_set_formatted(reader_handle handle, const char* name, const char* format, Args... args)
{
    char text[16] = {};
    std::snprintf(text, sizeof text, format, args...);
    return config_set(handle, name, text);
}

// A getter: the converted text, or `failure` when it cannot be read.
template <class Result, class Convert>
Result config_read(reader_handle handle, const char* name, Result failure, Convert convert)
{
    const Text text = config_get(handle, name);
    return text ? convert(text.get()) : failure;
}

// Leading decimal number, atoi-style (white space, sign, digits); no
// digits read as 0.  strtol's saturation keeps a long run of digits defined.
int leading_int(const char* text)
{
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

// Unsigned number with base detection: "0x" hexadecimal, a leading "0"
// octal, decimal otherwise; a sign is accepted and a negative number wraps.
unsigned long based_unsigned(const char* text)
{
    return std::strtoul(text, nullptr, 0);
}

int is_yes(const char* text)
{
    return strcasecmp(text, "yes") == 0 ? 1 : 0;
}

int flag_setter(reader_handle handle, const char* name, int flag)
{
    return config_set(handle, name, flag ? "1" : "0");
}

constexpr const char retry_timeout[] = "tagopretrytimeoutms";
constexpr const char epc1_id_length[] = "epc1idlen";
constexpr const char epc0_repeats[] = "epc0repeats";
constexpr const char epc0_deghost[] = "epc0_deghost";
constexpr const char epc0_deghost_len[] = "epc0_deghost_len";
constexpr const char epc1_deghost[] = "epc1_deghost";
constexpr const char synch_regulatory_timeout[] = "synch_regulatory_timeout";

}  // namespace

extern "C" {

int config_set_tagop_retry_timeout_ms(reader_handle handle, uint32_t milliseconds)
{
    return qd::guarded<int>("config_set_tagop_retry_timeout_ms", -1, [&]() -> int {
        return config_set_formatted(handle, retry_timeout, "%d", static_cast<int>(milliseconds & 0xFFFFu));
    });
}

uint16_t config_get_tagop_retry_timeout_ms(reader_handle handle)
{
    return qd::guarded<uint16_t>("config_get_tagop_retry_timeout_ms", -1, [&]() -> uint16_t {
        return config_read(handle, retry_timeout, uint16_t{0xFFFF},
                           [](const char* text) { return static_cast<uint16_t>(based_unsigned(text) & 0xFFFFu); });
    });
}

int config_set_EPC1_96_bit_support(reader_handle handle, int flag)
{
    return qd::guarded<int>("config_set_EPC1_96_bit_support", -1, [&]() -> int {
        return config_set(handle, epc1_id_length, flag ? "96" : "64");
    });
}

int config_get_EPC1_96_bit_support(reader_handle handle)
{
    return qd::guarded<int>("config_get_EPC1_96_bit_support", -1, [&]() -> int {
        return config_read(handle, epc1_id_length, -1, [](const char* text) { return leading_int(text) == 96 ? 1 : 0; });
    });
}

int config_set_EPC0_search_depth(reader_handle handle, int depth)
{
    return qd::guarded<int>("config_set_EPC0_search_depth", -1, [&]() -> int {
        return config_set_formatted(handle, epc0_repeats, "%d", depth);
    });
}

int config_get_EPC0_search_depth(reader_handle handle)
{
    return qd::guarded<int>("config_get_EPC0_search_depth", -1, [&]() -> int {
        return config_read(handle, epc0_repeats, -1, leading_int);
    });
}

int config_set_EPC0_deghost(reader_handle handle, int flag)
{
    return qd::guarded<int>("config_set_EPC0_deghost", -1, [&]() -> int {
        return flag_setter(handle, epc0_deghost, flag);
    });
}

int config_get_EPC0_deghost(reader_handle handle)
{
    return qd::guarded<int>("config_get_EPC0_deghost", -1, [&]() -> int {
        return config_read(handle, epc0_deghost, -1, is_yes);
    });
}

int config_set_EPC0_deghost_len(reader_handle handle, uint32_t length)
{
    return qd::guarded<int>("config_set_EPC0_deghost_len", -1, [&]() -> int {
        return config_set_formatted(handle, epc0_deghost_len, "%" PRIu32, length);
    });
}

int config_get_EPC0_deghost_len(reader_handle handle)
{
    return qd::guarded<int>("config_get_EPC0_deghost_len", -1, [&]() -> int {
        return config_read(handle, epc0_deghost_len, -1,
                           [](const char* text) { return static_cast<int>(static_cast<uint32_t>(based_unsigned(text))); });
    });
}

int config_set_EPC1_deghost(reader_handle handle, int flag)
{
    return qd::guarded<int>("config_set_EPC1_deghost", -1, [&]() -> int {
        return flag_setter(handle, epc1_deghost, flag);
    });
}

int config_get_EPC1_deghost(reader_handle handle)
{
    return qd::guarded<int>("config_get_EPC1_deghost", -1, [&]() -> int {
        return config_read(handle, epc1_deghost, -1, is_yes);
    });
}

int config_set_synch_regulatory_timeout(reader_handle handle, int value)
{
    return qd::guarded<int>("config_set_synch_regulatory_timeout", -1, [&]() -> int {
        return config_set_formatted(handle, synch_regulatory_timeout, "%d", value);
    });
}

int config_get_synch_regulatory_timeout(reader_handle handle)
{
    return qd::guarded<int>("config_get_synch_regulatory_timeout", -1, [&]() -> int {
        return config_read(handle, synch_regulatory_timeout, -1, is_yes);
    });
}

}  // extern "C"
