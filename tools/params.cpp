// qdctl HOST params ... and qdctl HOST config ...: the reader's parameter
// store and its named settings.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "qdapi.h"

namespace qdctl {

const char params_synopsis[] =
    "params list [--values] [--json] | get NAME [--json] | lookup TEXT | set NAME VALUE [--flag N]\n"
    "                | remove NAME | log NAME | load NAME | load-all | commit";
const char params_help[] =
    "      The reader's parameter store.  list prints the names (with --values\n"
    "      NAME=VALUE lines); get prints a value; lookup prints the reader's\n"
    "      answer for TEXT; set, remove, log and load act on one parameter\n"
    "      (--flag: set's 16-bit flag, default 0); load-all takes the whole store\n"
    "      back to the reader's saved one, commit saves it.  Every request\n"
    "      carries the library's privilege level.\n"
    "      --json             list: a JSON array of names (an object with\n"
    "                         --values); get: {\"name\":...,\"value\":...}\n";

const char config_synopsis[] = "config get [SETTING] [--json] | set SETTING VALUE";
const char config_help[] =
    "      The reader's named settings: get prints one (all without SETTING), set\n"
    "      changes one.  SETTING is one of\n"
    "        tagop-retry-timeout-ms    number (the reader keeps 16 bits)\n"
    "        epc1-96-bit-support       flag\n"
    "        epc0-search-depth         number (may be negative)\n"
    "        epc0-deghost              flag\n"
    "        epc0-deghost-len          number\n"
    "        epc1-deghost              flag\n"
    "        synch-regulatory-timeout  number to set, read back as a flag\n"
    "      A flag is 1 or 0 (also yes/no, on/off, true/false).  A flag setting\n"
    "      reads 1 only when the reader reports it as \"yes\".\n"
    "      --json             get: a JSON object of setting names and values\n";

namespace {

struct FreeText {
    void operator()(char* text) const { std::free(text); }
};
using OwnedText = std::unique_ptr<char, FreeText>;

// A name list of the library, freed with its names.
class NameList {
public:
    NameList(param_name_list names, int count) : names_(names), count_(names ? count : 0) {}
    ~NameList()
    {
        for (int i = 0; i < count_; ++i)
            std::free(names_[i]);
        std::free(names_);
    }
    NameList(const NameList&) = delete;
    NameList& operator=(const NameList&) = delete;
    int size() const { return count_; }
    const char* operator[](int i) const { return names_[i]; }

private:
    param_name_list names_;
    int count_;
};

void expect_args(const std::vector<std::string>& rest, std::size_t count, const char* usage)
{
    if (rest.size() != count)
        throw UsageError(std::string("usage: ") + usage);
}

OwnedText get_value(reader_handle h, const std::string& name, const char* what)
{
    OwnedText value(reader_params_get_r(h, name.c_str()));
    if (!value)
        fail(std::string(what) + " " + name);
    return value;
}

int params_list(reader_handle h, bool values, bool json)
{
    reader_errno = 0;
    int count = 0;
    // NULL with reader_errno untouched is an empty store.
    param_name_list names_raw = reader_params_list_r(h, &count);
    if (!names_raw && reader_errno != 0)
        fail("params list");
    const NameList names(names_raw, count);
    if (json) {
        Json out = values ? Json::object() : Json::array();
        for (int i = 0; i < names.size(); ++i) {
            const std::string name = names[i];
            if (values)
                out[name] = get_value(h, name, "params get").get();
            else
                out.push_back(name);
        }
        print_json(out);
        return exit_ok;
    }
    std::string out;
    for (int i = 0; i < names.size(); ++i) {
        const std::string name = names[i];
        out += shown(name);
        if (values)
            out += "=" + shown(get_value(h, name, "params get").get());
        out += '\n';
    }
    std::fputs(out.c_str(), stdout);
    return exit_ok;
}

int params_command(reader_handle h, const std::string& verb, const std::vector<std::string>& rest, uint16_t flag)
{
    const auto done = [&](int rc, const std::string& what) {
        if (rc != 0)
            fail(what);
        return exit_ok;
    };
    if (verb == "set") {
        expect_args(rest, 2, "params set NAME VALUE");
        return done(reader_params_set_with_flag(h, rest[0].c_str(), rest[1].c_str(), flag), "params set " + rest[0]);
    }
    if (verb == "remove" || verb == "log" || verb == "load") {
        expect_args(rest, 1, ("params " + verb + " NAME").c_str());
        const char* name = rest[0].c_str();
        const int rc = verb == "remove" ? reader_params_remove(h, name)
                       : verb == "log"  ? reader_params_log(h, name)
                                        : reader_params_load(h, name);
        return done(rc, "params " + verb + " " + rest[0]);
    }
    if (verb == "load-all") {
        expect_args(rest, 0, "params load-all");
        return done(reader_params_load_all(h), "params load-all");
    }
    if (verb == "commit") {
        expect_args(rest, 0, "params commit");
        return done(reader_params_commit_all(h), "params commit");
    }
    throw UsageError("unknown params operation '" + verb + "'");
}

// ---------------------------------------------------------------------------
// config

enum class Kind { number, signed_number, flag, number_read_as_flag };

struct Setting {
    const char* name;
    Kind kind;
    int (*set)(reader_handle, long long value);
    // The value, or nullopt-like: `ok` false when it could not be read.
    long long (*get)(reader_handle, bool& ok);
};

// A getter's failure value is also a value the reader may hold; only
// reader_errno tells a failure.
template <class T>
long long checked(T value, T failure, bool& ok)
{
    ok = value != failure || reader_errno == 0;
    return value;
}

const std::vector<Setting>& settings()
{
    static const std::vector<Setting> table = {
        {"tagop-retry-timeout-ms", Kind::number,
         [](reader_handle h, long long v) { return config_set_tagop_retry_timeout_ms(h, static_cast<uint32_t>(v)); },
         [](reader_handle h, bool& ok) {
             return checked(config_get_tagop_retry_timeout_ms(h), uint16_t{0xFFFF}, ok);
         }},
        {"epc1-96-bit-support", Kind::flag,
         [](reader_handle h, long long v) { return config_set_EPC1_96_bit_support(h, static_cast<int>(v)); },
         [](reader_handle h, bool& ok) { return checked(config_get_EPC1_96_bit_support(h), -1, ok); }},
        {"epc0-search-depth", Kind::signed_number,
         [](reader_handle h, long long v) { return config_set_EPC0_search_depth(h, static_cast<int>(v)); },
         [](reader_handle h, bool& ok) { return checked(config_get_EPC0_search_depth(h), -1, ok); }},
        {"epc0-deghost", Kind::flag,
         [](reader_handle h, long long v) { return config_set_EPC0_deghost(h, static_cast<int>(v)); },
         [](reader_handle h, bool& ok) { return checked(config_get_EPC0_deghost(h), -1, ok); }},
        {"epc0-deghost-len", Kind::number,
         [](reader_handle h, long long v) { return config_set_EPC0_deghost_len(h, static_cast<uint32_t>(v)); },
         [](reader_handle h, bool& ok) {
             // The reader's number comes back as an int; it is unsigned.
             return static_cast<long long>(static_cast<uint32_t>(checked(config_get_EPC0_deghost_len(h), -1, ok)));
         }},
        {"epc1-deghost", Kind::flag,
         [](reader_handle h, long long v) { return config_set_EPC1_deghost(h, static_cast<int>(v)); },
         [](reader_handle h, bool& ok) { return checked(config_get_EPC1_deghost(h), -1, ok); }},
        {"synch-regulatory-timeout", Kind::number_read_as_flag,
         [](reader_handle h, long long v) { return config_set_synch_regulatory_timeout(h, static_cast<int>(v)); },
         [](reader_handle h, bool& ok) { return checked(config_get_synch_regulatory_timeout(h), -1, ok); }},
    };
    return table;
}

const Setting& find_setting(const std::string& name)
{
    for (const Setting& s : settings())
        if (name == s.name)
            return s;
    throw UsageError("unknown setting '" + name + "' (qdctl HOST config --help lists them)");
}

long long parse_value(const Setting& s, const std::string& text)
{
    const std::string what = std::string("value for ") + s.name;
    switch (s.kind) {
    case Kind::flag: {
        static const char* const on[] = {"1", "yes", "on", "true"};
        static const char* const off[] = {"0", "no", "off", "false"};
        for (const char* word : on)
            if (text == word)
                return 1;
        for (const char* word : off)
            if (text == word)
                return 0;
        throw UsageError("bad " + what + " '" + text + "' (a flag: 1 or 0)");
    }
    case Kind::number:
        return static_cast<long long>(parse_number(text, UINT32_MAX, what));
    case Kind::signed_number:
    case Kind::number_read_as_flag:
        return parse_integer(text, INT_MIN, INT_MAX, what);
    }
    return 0;
}

int config_get(reader_handle h, const std::vector<std::string>& rest, bool json)
{
    std::vector<const Setting*> chosen;
    if (rest.empty())
        for (const Setting& s : settings())
            chosen.push_back(&s);
    else if (rest.size() == 1)
        chosen.push_back(&find_setting(rest[0]));
    else
        throw UsageError("usage: config get [SETTING]");
    Json object = Json::object();
    std::string text;
    for (const Setting* s : chosen) {
        reader_errno = 0;
        bool ok = true;
        const long long value = s->get(h, ok);
        if (!ok)
            fail(std::string("config get ") + s->name);
        note_answer();
        object[s->name] = value;
        text += std::string(s->name) + ": " + std::to_string(value) + "\n";
    }
    if (json)
        print_json(object);
    else
        std::fputs(text.c_str(), stdout);
    return exit_ok;
}

}  // namespace

int run_params(const Invocation& inv)
{
    bool json = false, values = false;
    uint16_t flag = 0;
    std::vector<std::string> rest = parse_options(
        inv.args, {
                      {"json", false, [&](const std::string&) { json = true; }},
                      {"values", false, [&](const std::string&) { values = true; }},
                      {"flag", true,
                       [&](const std::string& v) { flag = static_cast<uint16_t>(parse_number(v, 0xFFFF, "flag")); }},
                  });
    if (rest.empty())
        throw UsageError("params needs an operation");
    const std::string verb = rest.front();
    rest.erase(rest.begin());
    static const char* const verbs[] = {"list", "get", "lookup", "set", "remove", "log", "load", "load-all", "commit"};
    bool known = false;
    for (const char* v : verbs)
        known = known || verb == v;
    if (!known)
        throw UsageError("unknown params operation '" + verb + "'");

    Reader reader(inv.host);
    const reader_handle h = reader.handle();
    if (verb == "list") {
        expect_args(rest, 0, "params list");
        return params_list(h, values, json);
    }
    if (verb == "get") {
        expect_args(rest, 1, "params get NAME");
        const OwnedText value = get_value(h, rest[0], "params get");
        if (json)
            print_json({{"name", rest[0]}, {"value", value.get()}});
        else
            std::printf("%s\n", shown(value.get()).c_str());
        return exit_ok;
    }
    if (verb == "lookup") {
        expect_args(rest, 1, "params lookup TEXT");
        const OwnedText answer(reader_params_lookup_r(h, rest[0].c_str()));
        if (!answer)
            fail("params lookup " + rest[0]);
        const std::string text = shown(answer.get(), Newlines::kept);
        std::fputs(text.c_str(), stdout);
        if (!text.empty() && text.back() != '\n')
            std::fputc('\n', stdout);
        return exit_ok;
    }
    return params_command(h, verb, rest, flag);
}

int run_config(const Invocation& inv)
{
    bool json = false;
    std::vector<std::string> rest =
        parse_options(inv.args, {{"json", false, [&](const std::string&) { json = true; }}});
    if (rest.empty())
        throw UsageError("config needs get or set");
    const std::string verb = rest.front();
    rest.erase(rest.begin());
    if (verb != "get" && verb != "set")
        throw UsageError("unknown config operation '" + verb + "'");
    long long value = 0;
    const Setting* setting = nullptr;
    if (verb == "set") {
        expect_args(rest, 2, "config set SETTING VALUE");
        setting = &find_setting(rest[0]);
        value = parse_value(*setting, rest[1]);
    } else if (rest.size() == 1) {
        find_setting(rest[0]);   // a bad name is bad usage before any connection
    }

    Reader reader(inv.host);
    if (verb == "get")
        return config_get(reader.handle(), rest, json);
    if (setting->set(reader.handle(), value) != 0)
        fail(std::string("config set ") + setting->name);
    return exit_ok;
}

}  // namespace qdctl
