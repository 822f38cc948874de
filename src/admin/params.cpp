// The reader's parameter store: reading, looking up, removing, logging and
// loading parameters, reloading and committing the whole store, and listing
// the names.  Every request carries the privilege level of the moment.
//
// Strings reach the caller in two forms: the _r operations hand out heap
// copies that the caller frees; the others keep their latest result in a
// slot of the library's own, replaced (and the old one freed) by their next
// call.
#include <cstdlib>
#include <cstring>
#include <new>
#include <mutex>

#include "guard.h"
#include "kept.h"
#include "frame.h"
#include "priv/gate.h"

using namespace qd;

namespace {

constexpr Operation<&wire::params_get_1, char*> params_get_op{.check = "params_get"};
constexpr Operation<&wire::params_lookup_1, char*> params_lookup_op{.check = "params_lookup"};
constexpr Operation<&wire::params_remove_1, int> params_remove_op{.check = "params_remove", .failure = -1};
constexpr Operation<&wire::params_log_1, int> params_log_op{.check = "params_log", .failure = -1};
constexpr Operation<&wire::params_load_1, int> params_load_op{.check = "params_load", .failure = -1};
constexpr Operation<&wire::params_load_all_1, int> params_load_all_op{.check = "params_load_all",
                                                                      .failure = -1};
constexpr Operation<&wire::params_commit_all_1, int> params_commit_all_op{.check = "params_commit_all",
                                                                          .failure = -1};
// The list's failure check has always carried this name; traces that users
// grep for depend on it.
constexpr Operation<&wire::params_list_1, char**> params_list_op{.check = "params_set"};

// A request naming one parameter.  The scope is always empty.
wire::param_ref parameter(const char* name)
{
    static char no_scope[] = "";
    wire::param_ref ref{};
    ref.name = const_cast<char*>(name);   // only encoded from
    ref.scope = no_scope;
    ref.level = priv_level();
    return ref;
}

// A heap copy of an answer string, for the caller to free.  The decoder
// never leaves a string null, but an empty copy is what the caller expects
// of an empty answer either way.
// Memory that runs out for the copy fails the operation with -120 (the
// frame turns std::bad_alloc into it), not with a stale reader_errno.
char* heap_copy(const char* text)
{
    char* copy = strdup(text ? text : "");
    if (!copy)
        throw std::bad_alloc();
    return copy;
}

// One string request: null for a bad handle or a null name (reader_errno as
// the resolution left it), or for a failed call; `called` tells them apart.
template <auto Entry>
char* fetch(const Operation<Entry, char*>& op, reader_handle handle, const char* name, bool& called)
{
    called = false;
    Frame frame(op, handle);
    if (!frame || !name)
        return frame.failure();
    called = true;
    return frame.run(parameter(name), [](char* answer) { return heap_copy(answer); });
}

// A request that names a parameter and answers nothing.
template <auto Entry>
int name_command(const Operation<Entry, int>& op, reader_handle handle, const char* name)
{
    Frame frame(op, handle);
    if (!frame || !name)
        return frame.failure();
    return frame.run(parameter(name), nothing);
}

// A request about the whole store, which carries the level alone.
template <auto Entry>
int store_command(const Operation<Entry, int>& op, reader_handle handle)
{
    return perform(op, handle, priv_level(), nothing);
}

void release_string(char*& value)
{
    std::free(value);
    value = nullptr;
}

// The library-owned strings of reader_params_get and reader_params_lookup.
Kept<char*> get_slot{release_string};
Kept<char*> lookup_slot{release_string};

template <auto Entry>
char* slot_fetch(Kept<char*>& slot, const Operation<Entry, char*>& op, reader_handle handle, const char* name)
{
    bool called = false;
    char* value = fetch(op, handle, name, called);
    if (!called)
        return nullptr;   // the slot keeps what it held
    // A failed call empties the slot.
    return slot.replace(value, [](char* kept) { return kept; });
}

void free_names(char** names, int count)
{
    if (!names)
        return;
    for (int i = 0; i < count; ++i)
        std::free(names[i]);
    std::free(names);
}

// The names of a list answer, in the reader's order.  An entry without a
// name is skipped: the decoder leaves no null string, so "without a name" on
// the wire is the empty string.
char** copy_names(const wire::name_value_list& list, int& count)
{
    const u_int entries = list.items.items_len;
    if (entries == 0) {
        trace("received 0 params\n");
        return nullptr;
    }
    auto names = static_cast<char**>(std::calloc(entries, sizeof(char*)));
    if (!names)
        return nullptr;
    int copied = 0;
    for (u_int i = 0; i < entries; ++i) {
        const char* name = list.items.items_val[i].name;
        if (!name || !*name)
            continue;
        names[copied] = strdup(name);
        if (!names[copied]) {
            // Out of memory half-way: nothing is handed out, nothing leaks.
            free_names(names, copied);
            return nullptr;
        }
        ++copied;
    }
    count = copied;
    return names;
}

// The library-owned list of reader_params_list.
struct NameList {
    char** names = nullptr;
    int count = 0;
};

void release_names(NameList& list)
{
    free_names(list.names, list.count);
    list = NameList{};
}

Kept<NameList> list_slot{release_names};

}  // namespace

extern "C" {

char* reader_params_get_r(reader_handle handle, const char* name)
{
    return qd::guarded<char *>("reader_params_get_r", nullptr, [&]() -> char * {
        bool called = false;
        return fetch(params_get_op, handle, name, called);
    });
}

char* reader_params_get(reader_handle handle, const char* name)
{
    return qd::guarded<char *>("reader_params_get", nullptr, [&]() -> char * {
        return slot_fetch(get_slot, params_get_op, handle, name);
    });
}

char* reader_params_lookup_r(reader_handle handle, const char* name)
{
    return qd::guarded<char *>("reader_params_lookup_r", nullptr, [&]() -> char * {
        bool called = false;
        return fetch(params_lookup_op, handle, name, called);
    });
}

char* reader_params_lookup(reader_handle handle, const char* name)
{
    return qd::guarded<char *>("reader_params_lookup", nullptr, [&]() -> char * {
        return slot_fetch(lookup_slot, params_lookup_op, handle, name);
    });
}

int reader_params_remove(reader_handle handle, const char* name)
{
    return qd::guarded<int>("reader_params_remove", -1, [&]() -> int {
        Frame frame(params_remove_op, handle);
        if (!frame)
            return frame.failure();
        // A missing name cannot be encoded: refused as reader_params_set refuses
        // it, instead of being handed to the RPC library.
        if (!name)
            return frame.refuse(READER_ERROR_INVALID_ARGUMENTS);
        return frame.run(parameter(name), nothing);
    });
}

int reader_params_log(reader_handle handle, const char* name)
{
    return qd::guarded<int>("reader_params_log", -1, [&]() -> int {
        return name_command(params_log_op, handle, name);
    });
}

int reader_params_load(reader_handle handle, const char* name)
{
    return qd::guarded<int>("reader_params_load", -1, [&]() -> int {
        return name_command(params_load_op, handle, name);
    });
}

int reader_params_load_all(reader_handle handle)
{
    return qd::guarded<int>("reader_params_load_all", -1, [&]() -> int {
        return store_command(params_load_all_op, handle);
    });
}

int reader_params_commit_all(reader_handle handle)
{
    return qd::guarded<int>("reader_params_commit_all", -1, [&]() -> int {
        return store_command(params_commit_all_op, handle);
    });
}

char** reader_params_list_r(reader_handle handle, int* count)
{
    return qd::guarded<param_name_list>("reader_params_list_r", nullptr, [&]() -> param_name_list {
        Frame frame(params_list_op, handle);
        if (!frame || !count)
            return frame.failure();
        *count = 0;
        return frame.run(priv_level(), [count](const wire::name_value_list& list) { return copy_names(list, *count); });
    });
}

char** reader_params_list(reader_handle handle, int* count)
{
    return qd::guarded<param_name_list>("reader_params_list", nullptr, [&]() -> param_name_list {
        if (!resolve(handle) || !count)
            return nullptr;
        NameList fresh;
        fresh.names = reader_params_list_r(handle, &fresh.count);
        if (!fresh.names)
            fresh.count = 0;
        return list_slot.replace(fresh, [count](const NameList& kept) {
            *count = kept.count;
            return kept.names;
        });
    });
}

}  // extern "C"
