// The reader's parameter store: the library's two forms of string results,
// name lists, flags, the privilege level in every request, refused
// arguments; and the virtual reader's store, its saved copy and reboots.
// Virtual reader at 127.0.11.2.
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

namespace {

using namespace qdtest;
using qdsim::Transport;

constexpr char host[] = "127.0.11.2";
constexpr int untouched = READER_ERROR_VERIFY_FAILURE;

class Params : public OpenReader {
protected:
    Params() : OpenReader(host) {}
    void prepare(qdsim::VirtualReader& reader) override { reader.set_reboot_time(std::chrono::milliseconds(100)); }

    // Waits, within a generous bound, for a reboot to end.
    void await_reboot() const
    {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (reader_->rebooting() && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_FALSE(reader_->rebooting());
    }
};

std::string text(const char* s)
{
    return s ? s : "(null)";
}

std::string owned(char* s)
{
    std::string out = text(s);
    std::free(s);
    return out;
}

std::vector<std::string> owned_names(char** names, int count)
{
    std::vector<std::string> out;
    for (int i = 0; names && i < count; ++i) {
        out.push_back(names[i]);
        std::free(names[i]);
    }
    std::free(names);
    return out;
}

std::vector<std::string> slot_names(char** names, int count)
{
    return std::vector<std::string>(names, names + (names ? count : 0));
}

// The two library-owned string forms: a second call replaces (and frees)
// the first result, a failed call empties the slot, and a call refused
// before calling leaves it alone.  Run under the address sanitizer, a slot
// that leaked or freed the wrong string fails here.
struct SlotForm {
    const char* name;
    char* (*call)(reader_handle, const char*);
    const char* asked;     // what is asked for
    const char* first;     // the answer for the parameter "hostname" = first
    uint32_t proc;
};

class SlotForms : public Params {};

TEST_P(SlotForms, EachCallReplacesTheLastAndAFailedCallEmptiesTheSlot)
{
    for (const SlotForm form : {SlotForm{"reader_params_get", reader_params_get, "hostname", "qdsim", PARAMS_GET},
                                SlotForm{"reader_params_lookup", reader_params_lookup, "hostname",
                                         "hostname=qdsim\n", PARAMS_LOOKUP}}) {
        SCOPED_TRACE(form.name);
        reader_->set_param("hostname", "qdsim");
        const char* first = form.call(handle_, form.asked);
        EXPECT_EQ(text(first), form.first);

        // Refused before any call: the slot and its string stay.
        reader_->clear_calls();
        EXPECT_EQ(form.call(handle_, nullptr), nullptr);
        EXPECT_EQ(form.call(nullptr, form.asked), nullptr);
        EXPECT_TRUE(reader_->calls().empty());
        EXPECT_EQ(text(first), form.first) << "the held string was freed";

        reader_->set_param("hostname", "dock-7");
        const char* second = form.call(handle_, form.asked);
        EXPECT_NE(text(second).find("dock-7"), std::string::npos) << text(second);

        reader_->inject(form.proc, error_reply(1));
        reader_errno = untouched;
        EXPECT_EQ(form.call(handle_, form.asked), nullptr);
        EXPECT_EQ(reader_errno, READER_ERROR_REMOTE);
        EXPECT_NE(text(form.call(handle_, form.asked)).find("dock-7"), std::string::npos);
    }
}

TEST_P(Params, AnEmptyValueIsAnEmptyCopy)
{
    reader_->set_param("gateway", "");
    char* value = reader_params_get_r(handle_, "gateway");
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "");
    std::free(value);
    EXPECT_STREQ(reader_params_get(handle_, "gateway"), "");
}

// A list entry without a name is left out of the caller's list.
TEST_P(Params, ListsLeaveOutNamelessEntriesInTheReadersOrder)
{
    reader_->force_params_list({{{"zeta", "1"}, {"", "2"}, {"alpha", "3"}}});
    int count = -1;
    char** names = reader_params_list_r(handle_, &count);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(owned_names(names, count), (std::vector<std::string>{"zeta", "alpha"}));

    count = -1;
    char** held = reader_params_list(handle_, &count);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(slot_names(held, count), (std::vector<std::string>{"zeta", "alpha"}));

    // The next call frees the held list and holds the new one.
    reader_->force_params_list({{{"only", "x"}}});
    held = reader_params_list(handle_, &count);
    EXPECT_EQ(slot_names(held, count), std::vector<std::string>{"only"});
    EXPECT_EQ(count, 1);
}

TEST_P(Params, AnEmptyStoreListsNothing)
{
    reader_->replace_params({});
    for (auto list : {reader_params_list_r, reader_params_list}) {
        int count = 7;
        char** names = nullptr;
        std::string trace;
        {
            TraceOn on;
            trace = stderr_of([&] { names = list(handle_, &count); });
        }
        EXPECT_EQ(names, nullptr);
        EXPECT_EQ(count, 0);
        EXPECT_NE(trace.find("received 0 params\n"), std::string::npos) << trace;
    }
}

TEST_P(Params, SetSendsItsFlag)
{
    for (const uint16_t flag : {0, 1, 0xFFFF}) {
        reader_->clear_calls();
        EXPECT_EQ(flag == 0 ? reader_params_set(handle_, "a", "1") : reader_params_set_with_flag(handle_, "a", "1", flag),
                  0);
        ASSERT_EQ(reader_->calls().size(), 1u);
        qdsim::Decoded<wire::param_assign> sent(reader_->calls()[0], reinterpret_cast<xdrproc_t>(wire::xdr_param_assign));
        ASSERT_TRUE(sent.ok());
        EXPECT_EQ(sent->flag, flag);
    }
}

// Every parameter request carries the privilege level of the moment: 0 at
// first, the unlocked level after PRIV_setPrivLevel has raised it.
TEST_P(Params, EveryRequestCarriesThePrivilegeLevel)
{
    auto levels = [&] {
        reader_->clear_calls();
        int count = 0;
        std::free(reader_params_get_r(handle_, "hostname"));
        reader_params_get(handle_, "hostname");
        std::free(reader_params_lookup_r(handle_, "host"));
        reader_params_lookup(handle_, "host");
        reader_params_set(handle_, "a", "1");
        reader_params_remove(handle_, "a");
        reader_params_log(handle_, "hostname");
        reader_params_load(handle_, "hostname");
        reader_params_load_all(handle_);
        reader_params_commit_all(handle_);
        char** names = reader_params_list_r(handle_, &count);
        owned_names(names, count);
        reader_params_list(handle_, &count);
        std::vector<int> out;
        for (const auto& call : reader_->calls()) {
            if (call.proc == PARAMS_SET) {
                qdsim::Decoded<wire::param_assign> a(call, reinterpret_cast<xdrproc_t>(wire::xdr_param_assign));
                out.push_back(a.ok() ? a->level : -1);
            } else if (call.proc == PARAMS_LOAD_ALL || call.proc == PARAMS_COMMIT_ALL || call.proc == PARAMS_LIST) {
                qdsim::Decoded<u_short> level(call, reinterpret_cast<xdrproc_t>(xdr_u_short));
                out.push_back(level.ok() ? *level : -1);
            } else {   // a param_ref, whose scope is always empty
                qdsim::Decoded<wire::param_ref> ref(call, reinterpret_cast<xdrproc_t>(wire::xdr_param_ref));
                out.push_back(ref.ok() && ref->scope && *ref->scope == '\0' ? ref->level : -1);
            }
        }
        return out;
    };
    if (PRIV_getCurPrivLevel() == 0) {
        EXPECT_EQ(levels(), std::vector<int>(12, 0));
    }

    set_priv_level(0x1234);
    ASSERT_EQ(PRIV_getCurPrivLevel(), 0x1234);
    EXPECT_EQ(levels(), std::vector<int>(12, 0x1234));
}

// Refused without a call; what reader_errno says, as each operation
// documents it.
TEST_P(Params, MissingArgumentsAreRefusedWithoutACall)
{
    struct Case {
        const char* name;
        std::function<bool(reader_handle)> refused;   // the failure value came back
        int errno_after;
    };
    const Case cases[] = {
        {"reader_params_get_r", [](reader_handle h) { return reader_params_get_r(h, nullptr) == nullptr; }, untouched},
        {"reader_params_get", [](reader_handle h) { return reader_params_get(h, nullptr) == nullptr; }, untouched},
        {"reader_params_lookup_r", [](reader_handle h) { return reader_params_lookup_r(h, nullptr) == nullptr; },
         untouched},
        {"reader_params_lookup", [](reader_handle h) { return reader_params_lookup(h, nullptr) == nullptr; },
         untouched},
        {"reader_params_log", [](reader_handle h) { return reader_params_log(h, nullptr) == -1; }, untouched},
        {"reader_params_load", [](reader_handle h) { return reader_params_load(h, nullptr) == -1; }, untouched},
        {"reader_params_list_r", [](reader_handle h) { return reader_params_list_r(h, nullptr) == nullptr; },
         untouched},
        {"reader_params_list", [](reader_handle h) { return reader_params_list(h, nullptr) == nullptr; }, untouched},
        // These would hand a null text to the encoder.
        {"reader_params_remove", [](reader_handle h) { return reader_params_remove(h, nullptr) == -1; },
         READER_ERROR_INVALID_ARGUMENTS},
        {"reader_params_set name", [](reader_handle h) { return reader_params_set(h, nullptr, "v") == -1; },
         READER_ERROR_INVALID_ARGUMENTS},
        {"reader_params_set value", [](reader_handle h) { return reader_params_set(h, "a", nullptr) == -1; },
         READER_ERROR_INVALID_ARGUMENTS},
        {"reader_params_set_with_flag",
         [](reader_handle h) { return reader_params_set_with_flag(h, nullptr, nullptr, 1) == -1; },
         READER_ERROR_INVALID_ARGUMENTS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reader_errno = untouched;
        EXPECT_TRUE(c.refused(handle_));
        EXPECT_EQ(reader_errno, c.errno_after);
    }
    EXPECT_TRUE(reader_->calls().empty());
}

// ---------------------------------------------------------------------------
// The virtual reader's store

// reboot_reader drops the connection; the next operation connects anew and
// finds the reader with its saved parameters only.
TEST_P(Params, ARebootKeepsCommittedParametersAndLosesTheRest)
{
    ASSERT_EQ(reader_params_set(handle_, "committed", "yes"), 0);
    ASSERT_EQ(reader_params_commit_all(handle_), 0);
    ASSERT_EQ(reader_params_set(handle_, "uncommitted", "lost"), 0);
    ASSERT_EQ(reader_params_set_with_flag(handle_, "saved at once", "kept", 1), 0);   // flag bit 0 saves

    std::string trace;
    {
        TraceOn on;
        trace = stderr_of([&] { reboot_reader(handle_, 0, 0); });
    }
    EXPECT_NE(trace.find(std::string("Resetting RPC connection to '") + host + "'"), std::string::npos) << trace;
    await_reboot();

    reader_->clear_calls();
    {
        TraceOn on;
        trace = stderr_of([&] {
            EXPECT_EQ(owned(reader_params_get_r(handle_, "committed")), "yes");
        });
    }
    EXPECT_NE(trace.find(std::string("Opening RPC connection to '") + host + "'"), std::string::npos) << trace;
    EXPECT_EQ(procs(*reader_), concat(initial_queries, {PARAMS_GET}));
    EXPECT_EQ(owned(reader_params_get_r(handle_, "uncommitted")), "");
    EXPECT_EQ(owned(reader_params_get_r(handle_, "saved at once")), "kept");
}

INSTANTIATE_TEST_SUITE_P(Admin, Params, testing::Values(Transport::udp, Transport::tcp),
                         testing::PrintToStringParamName());
INSTANTIATE_TEST_SUITE_P(Admin, SlotForms, testing::Values(Transport::udp, Transport::tcp),
                         testing::PrintToStringParamName());

}  // namespace
