// Unloading the library with automatic searches registered: a copy of the
// library, loaded under a name of its own so that it really goes at
// dlclose, starts no thread until its first registration, then one, and
// dlclose stops and joins it (and the starters it runs) before the code
// goes.  Virtual reader at 127.0.12.7.
//
// This program is linked with the library too; the copy's calls between its
// own exported functions may reach that one instead, which resolves none of
// the copy's handles.  The copy's starts then fail and are tried again:
// what counts here is its threads.
#include <dirent.h>
#include <dlfcn.h>

#include <filesystem>
#include <string>

#include "auto_search_support.h"
#include "support.h"

namespace {

using namespace std::chrono_literals;

const char* const host = "127.0.12.7";

std::size_t threads_now()
{
    std::size_t n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

class Copy {
public:
    Copy()
    {
        dir_ = std::filesystem::temp_directory_path() / ("qd-unload-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        path_ = dir_ / "libqdapi-copy.so";
        std::filesystem::copy_file(QD_LIBRARY_PATH, path_, std::filesystem::copy_options::overwrite_existing);
    }
    ~Copy() { std::filesystem::remove_all(dir_); }
    Copy(const Copy&) = delete;
    Copy& operator=(const Copy&) = delete;

    const std::string path() const { return path_.string(); }

private:
    std::filesystem::path dir_;
    std::filesystem::path path_;
};

template <class F>
F symbol(void* library, const char* name)
{
    void* found = dlsym(library, name);
    EXPECT_NE(found, nullptr) << name;
    return reinterpret_cast<F>(found);
}

TEST(AutoSearchUnload, DlcloseStopsAndJoinsTheTimerWithSearchesRegistered)
{
    auto reader = qdtest::start_reader(host);
    Copy copy;
    const std::size_t before = threads_now();

    void* library = dlopen(copy.path().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    const auto open = symbol<reader_handle (*)(const char*)>(library, "open_reader");
    const auto start = symbol<reader_handle (*)(reader_handle, const search_params*, double, double, double, double)>(
        library, "auto_search_start");
    ASSERT_TRUE(open && start);

    const reader_handle h = open(host);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(threads_now(), before) << "a thread before any search was registered";

    search_params p{};
    p.a_count = 1;
    ASSERT_NE(start(h, &p, qdauto::a_day_from_now(), 0, 0, 0), nullptr);
    EXPECT_TRUE(qdauto::eventually([&] { return threads_now() == before + 1; }, 5s))
        << threads_now() - before << " threads of the library's";
    // Due now: starters come and go, and are tried again every second.
    ASSERT_NE(start(h, &p, 0, 0, 0, 0), nullptr);
    ASSERT_NE(start(h, &p, 1.0, 0, 0, 0), nullptr);
    std::this_thread::sleep_for(50ms);

    ASSERT_EQ(dlclose(library), 0) << dlerror();
    EXPECT_EQ(threads_now(), before) << "the library's threads outlived it";
    EXPECT_EQ(dlopen(copy.path().c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "the copy was not unloaded";
}

}  // namespace
