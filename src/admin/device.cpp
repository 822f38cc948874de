// The reader as a device: GPIO lines, firmware update, reboot, and its
// settings and version texts.  The library forwards the caller's values and
// passes the reader's statuses back without interpreting either.
#include <cstdlib>
#include <cstring>
#include <new>
#include <memory>
#include <mutex>

#include "guard.h"
#include "frame.h"

using namespace qd;

namespace {

// A negative status in the answer is the reader's error.
constexpr Operation<&wire::gpio_get_1, int> gpio_get_op{
    .check = "gpio_get", .failure = -1, .on_success = OnSuccess::status,
    .status = [](const wire::gpio_get_result& answer) -> std::optional<int> {
        if (answer.gpio_status < 0)
            return answer.gpio_status;
        return std::nullopt;
    }};

// These relay the reader's result into reader_errno, 0 included.
constexpr auto relayed = [](const int& result) -> std::optional<int> { return result; };

constexpr Operation<&wire::gpio_set_1, int> gpio_set_op{
    .check = "gpio_set", .failure = -1, .on_success = OnSuccess::status, .status = relayed};
constexpr Operation<&wire::gpio_set_reader_event_1, int> gpio_set_reader_event_op{
    .check = "gpio_set_reader_event", .failure = -1, .on_success = OnSuccess::status, .status = relayed};
constexpr Operation<&wire::fw_update_1, int> fw_update_op{
    .check = "fw_update", .failure = -1, .on_success = OnSuccess::status, .status = relayed};

constexpr Operation<&wire::fw_complete_1, int> fw_complete_op{.check = "fw_complete", .failure = -1};

// The outcome of a reboot is never looked at: the reader may well go down
// before it answers.  The connection is dropped afterwards in any case.
constexpr Operation<&wire::reboot_1, int> reboot_op{.check = "reboot", .policy = Policy::none};

// Taken before the handle is resolved, so that reboots are ordered with the
// resolutions that precede them.
std::mutex reboot_lock;

using Text = ReaderObject::Text;

constexpr Operation<&wire::read_settings_1, const char*> read_settings_op{.check = "read_settings"};
constexpr Operation<&wire::get_firmware_version_1, const char*> firmware_version_op{
    .check = "get_firmware_version"};
constexpr Operation<&wire::get_os_version_1, const char*> os_version_op{.check = "get_os_version"};

// One of the reader record's texts, replaced by the answer.  The text lives
// in the record until the next answer of the same query on the same reader.
template <auto Entry>
const char* reader_text(const Operation<Entry, const char*>& op, reader_handle handle, Text which,
                        const char* got)
{
    Frame frame(op, handle);
    if (!frame)
        return frame.failure();
    ReaderObject& reader = *frame.session().reader;
    return frame.run([&](char* answer) {
        const char* text;
        {
            std::lock_guard<std::mutex> copies(reader.copies);
            text = reader.replace_text(which, answer ? answer : "");
        }
        trace("%s", got);
        return text;
    });
}

// A heap copy for the caller's structure; null only when memory ran out.
char* caller_copy(const char* text)
{
    return strdup(text ? text : "");
}

}  // namespace

extern "C" {

int GPIO_get(reader_handle handle, uint32_t line)
{
    return qd::guarded<int>("GPIO_get", -1, [&]() -> int {
        return perform(gpio_get_op, handle, u_int{line}, [](const wire::gpio_get_result& answer) {
            return answer.gpio_status < 0 ? -1 : static_cast<int>(answer.gpio_value);
        });
    });
}

int GPIO_set(reader_handle handle, uint32_t first, uint32_t second)
{
    return qd::guarded<int>("GPIO_set", -1, [&]() -> int {
        wire::gpio_set_args request{};
        request.gpio_arg1 = first;
        request.gpio_arg2 = second;
        return perform(gpio_set_op, handle, request, answer);
    });
}

int GPIO_set_reader_event(reader_handle handle, uint32_t first, uint32_t second, uint32_t third)
{
    return qd::guarded<int>("GPIO_set_reader_event", -1, [&]() -> int {
        wire::gpio_event_args request{};
        request.gpio_arg1 = first;
        request.gpio_arg2 = second;
        request.gpio_arg3 = third;
        return perform(gpio_set_reader_event_op, handle, request, answer);
    });
}

int reader_fw_update(reader_handle handle, const char* image, uint32_t value)
{
    return qd::guarded<int>("reader_fw_update", -1, [&]() -> int {
        Frame frame(fw_update_op, handle);
        if (!frame)
            return frame.failure();
        // A missing text cannot be encoded: the RPC library would read through
        // the null pointer.
        if (!image)
            return frame.refuse(READER_ERROR_INVALID_ARGUMENTS);
        wire::fw_update_args request{};
        request.fw_text = const_cast<char*>(image);   // only encoded from
        request.fw_value = value;
        return frame.run(request, answer);
    });
}

int reader_fw_update_complete(reader_handle handle, fw_update_info* info)
{
    return qd::guarded<int>("reader_fw_update_complete", -1, [&]() -> int {
        // A null structure still asks: the reader may be waiting to be asked.
        return perform(fw_complete_op, handle, [info](const wire::fw_complete_result& answer) {
            if (info) {
                // All three or none: a copy that runs out of memory fails the
                // operation with -120 and leaves the caller nothing to free.
                struct Free {
                    void operator()(char* text) const { std::free(text); }
                };
                std::unique_ptr<char, Free> texts[3];
                const char* const from[3] = {answer.fw_text1, answer.fw_text2, answer.fw_text3};
                for (int i = 0; i < 3; ++i) {
                    texts[i].reset(caller_copy(from[i]));
                    if (!texts[i])
                        throw std::bad_alloc();
                }
                info->fw_status = answer.fw_status;
                info->fw_text1 = texts[0].release();
                info->fw_text2 = texts[1].release();
                info->fw_text3 = texts[2].release();
                info->fw_value = answer.fw_value;
            }
            return answer.fw_status;
        });
    });
}

void reboot_reader(reader_handle handle, uint32_t first, uint32_t second)
{
    qd::guarded_void("reboot_reader", [&] {
        std::lock_guard<std::mutex> ordered(reboot_lock);
        Frame frame(reboot_op, handle);
        if (!frame)
            return;
        wire::reboot_args request{};
        request.reboot_arg1 = first;
        request.reboot_arg2 = second;
        frame.run(request, nothing);
        // The rebooting reader no longer knows this connection, whatever the
        // call said; the next operation connects anew.
        reset_connection(*frame.session().reader);
    });
}

const char* read_settings(reader_handle handle)
{
    return qd::guarded<const char *>("read_settings", nullptr, [&]() -> const char * {
        return reader_text(read_settings_op, handle, Text::settings_text, "read_settings got a valid string\n");
    });
}

const char* get_firmware_version(reader_handle handle)
{
    return qd::guarded<const char *>("get_firmware_version", nullptr, [&]() -> const char * {
        return reader_text(firmware_version_op, handle, Text::firmware_version,
                           "get_firmware_version got a valid string\n");
    });
}

const char* get_os_version(reader_handle handle)
{
    return qd::guarded<const char *>("get_os_version", nullptr, [&]() -> const char * {
        return reader_text(os_version_op, handle, Text::os_version, "get_os_version got a valid string\n");
    });
}

}  // extern "C"
