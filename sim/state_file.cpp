#include "state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace qdsim::detail {

namespace {

std::string directory_of(const std::string& file)
{
    const auto slash = file.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

[[noreturn]] void refuse(const std::string& file, std::size_t line, const std::string& why)
{
    throw StateFileError(file + ":" + std::to_string(line) + ": " + why);
}

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

// A descriptor closed on every path out.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// A new file beside `file`, removed again unless it was renamed into place.
class TempFile {
public:
    explicit TempFile(const std::string& file) : path_(file + ".XXXXXX")
    {
        std::vector<char> name(path_.begin(), path_.end());
        name.push_back('\0');
        fd_ = mkostemp(name.data(), O_CLOEXEC);
        if (fd_ >= 0)
            path_.assign(name.data());
    }
    ~TempFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (fd_ >= 0 || !closed_path_.empty())
            ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    bool close()
    {
        closed_path_ = path_;
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }
    void renamed() { closed_path_.clear(); }

private:
    std::string path_;
    std::string closed_path_;
    int fd_ = -1;
};

}  // namespace

std::string format_state(const std::map<std::string, std::string>& params)
{
    auto escaped = [](const std::string& s) {
        std::string out;
        for (char c : s) {
            if (c == '\\')
                out += "\\\\";
            else if (c == '\t')
                out += "\\t";
            else if (c == '\n')
                out += "\\n";
            else
                out += c;
        }
        return out;
    };
    std::string text;
    for (const auto& [name, value] : params)
        text += escaped(name) + "\t" + escaped(value) + "\n";
    return text;
}

std::map<std::string, std::string> parse_state(const std::string& text, const std::string& file)
{
    std::map<std::string, std::string> params;
    std::map<std::string, std::size_t> given_on;
    std::size_t number = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        ++number;
        const auto newline = text.find('\n', at);
        if (newline == std::string::npos)
            refuse(file, number, "the last line has no newline: the file was cut short");
        const std::string line = text.substr(at, newline - at);
        at = newline + 1;
        if (line.empty())
            continue;
        if (line.find('\0') != std::string::npos)
            refuse(file, number, "a NUL byte: not a text file");
        const auto tab = line.find('\t');
        if (tab == std::string::npos)
            refuse(file, number, "no tab between a parameter's name and its value");
        if (tab == 0)
            refuse(file, number, "a parameter without a name");
        auto unescaped = [&](const std::string& s) {
            std::string out;
            for (std::size_t i = 0; i < s.size(); ++i) {
                if (s[i] != '\\') {
                    out += s[i];
                    continue;
                }
                if (i + 1 == s.size())
                    refuse(file, number, "a backslash at the end of a name or value");
                const char c = s[++i];
                if (c == 't')
                    out += '\t';
                else if (c == 'n')
                    out += '\n';
                else if (c == '\\')
                    out += '\\';
                else
                    refuse(file, number, std::string("an unknown escape \\") + c);
            }
            return out;
        };
        std::string name = unescaped(line.substr(0, tab));
        std::string value = unescaped(line.substr(tab + 1));
        if (const auto first = given_on.find(name); first != given_on.end())
            refuse(file, number, "parameter '" + name + "' again (first on line " + std::to_string(first->second) + ")");
        given_on.emplace(name, number);
        params.emplace(std::move(name), std::move(value));
    }
    return params;
}

std::optional<std::string> read_state_text(const std::string& file)
{
    Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        // Nothing there: whether one can be written there is
        // check_writable()'s to say.
        if (errno == ENOENT || errno == ENOTDIR)
            return std::nullopt;
        throw StateFileError(failure(file + ": cannot read it"));
    }
    struct stat st{};
    if (fstat(fd.get(), &st) != 0)
        throw StateFileError(failure(file + ": cannot read it"));
    if (!S_ISREG(st.st_mode))
        throw StateFileError(file + ": not a regular file");
    std::string text;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw StateFileError(failure(file + ": cannot read it"));
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

void check_writable(const std::string& file)
{
    struct stat st{};
    if (::stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        throw StateFileError(file + ": not a regular file");
    const std::string dir = directory_of(file);
    TempFile probe(file);
    if (!probe.ok())
        throw StateFileError(failure(file + ": cannot write a file in " + dir));
}

bool write_atomically(const std::string& file, const std::string& text, std::string& error)
{
    TempFile temp(file);
    if (!temp.ok()) {
        error = failure(file + ": cannot write a file in " + directory_of(file));
        return false;
    }
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(temp.fd(), text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = failure("cannot write " + temp.path());
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    // On disk before it takes the old file's name: a crash then leaves the
    // old file or the new one, never an empty one.
    struct stat old{};
    const mode_t mode = ::stat(file.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    if (::fsync(temp.fd()) != 0 || ::fchmod(temp.fd(), mode) != 0) {
        error = failure("cannot write " + temp.path());
        return false;
    }
    if (!temp.close()) {
        error = failure("cannot write " + temp.path());
        return false;
    }
    if (::rename(temp.path().c_str(), file.c_str()) != 0) {
        error = failure("cannot replace " + file);
        return false;
    }
    temp.renamed();
    // The rename itself is on disk once the directory is.
    Fd dir(::open(directory_of(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        (void)::fsync(dir.get());
    return true;
}

}  // namespace qdsim::detail
