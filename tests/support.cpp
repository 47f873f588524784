// SPDX-License-Identifier: MIT
#include "support.hpp"

#include "bcm2835.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <ios>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t page_words = bcm2835::page_size / sizeof(uint32_t);

void check(bool ok, const std::string &what)
{
    if (!ok)
        throw std::runtime_error(what + ": " + std::strerror(errno));
}

// An open descriptor, closed however the scope ends.
class Fd {
  public:
    Fd(const std::string &path, int flags) : fd(open(path.c_str(), flags, 0644))
    {
        check(fd >= 0, "open " + path);
    }
    ~Fd()
    {
        close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    const int fd;
};

std::string slurp(const std::string &path)
{
    const std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The null-terminated array that execve() takes.
std::vector<char *> c_strings(const std::vector<std::string> &strings)
{
    std::vector<char *> c(strings.size() + 1, nullptr);
    std::transform(strings.begin(), strings.end(), c.begin(),
                   [](const std::string &s) { return const_cast<char *>(s.c_str()); });
    return c;
}

std::string setting(const char *name, const char *fallback)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

std::vector<std::string> words(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> w;
    for (std::string word; in >> word;)
        w.push_back(word);
    return w;
}

// The fault layer's log, whose line format is set down at the top of sim/faults.cpp.
std::vector<Call> read_calls(const std::string &log)
{
    std::vector<Call> calls;
    std::istringstream in(slurp(log));
    for (std::string line; std::getline(in, line);) {
        const size_t open_paren = line.find('(');
        const size_t close = line.find(") = ");
        if (open_paren == std::string::npos || close == std::string::npos)
            continue;
        Call c;
        c.name = line.substr(0, open_paren);
        std::istringstream args(line.substr(open_paren + 1, close - open_paren - 1));
        for (std::string a; std::getline(args, a, ',');)
            c.args.push_back(a.substr(a.find_first_not_of(' ')));
        const std::string rest = line.substr(close + 4);
        c.result = rest.substr(0, rest.find(' '));
        if (const size_t to = rest.find(" -> "); to != std::string::npos)
            c.opened = rest.substr(to + 4);
        calls.push_back(c);
    }
    return calls;
}

} // namespace

std::string tool_path()
{
    return setting("TEST_TOOL", TOOL_PATH);
}

uint64_t map_failed()
{
    return setting("TEST_TOOL_BITS", "64") == "32" ? UINT32_MAX : UINT64_MAX;
}

Scratch::Scratch()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr ? tmp : "/tmp") + "/board.XXXXXX";
    check(mkdtemp(templ.data()) != nullptr, "mkdtemp");
    path = templ;
}

Scratch::~Scratch()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void BoardImage::seed(uint32_t gpfsel0, uint32_t gpfsel1) const
{
    const Fd image(path, O_RDWR | O_CREAT | O_TRUNC);
    check(ftruncate(image.fd, bcm2835::image_size) == 0, "size " + path);
    for (const uint64_t base : {bcm2835::gpio_base, bcm2835::spi0_base}) {
        std::vector<uint32_t> words(page_words);
        for (size_t i = 0; i < words.size(); i++)
            words[i] = static_cast<uint32_t>(0xa5000000U ^ base ^ (i * 0x10001U));
        if (base == bcm2835::gpio_base) {
            words[bcm2835::gpfsel0] = gpfsel0;
            words[bcm2835::gpfsel0 + 1] = gpfsel1;
        }
        const auto bytes = static_cast<ssize_t>(words.size() * sizeof words[0]);
        check(pwrite(image.fd, words.data(), bytes, static_cast<off_t>(base)) == bytes, "seed " + path);
    }
    using namespace std::string_view_literals;
    name("raspberrypi,model-zero\0brcm,bcm2835\0"sv);
}

void BoardImage::name(std::string_view strings) const
{
    std::filesystem::create_directories(std::filesystem::path(compatible).parent_path());
    if (strings.empty()) {
        std::filesystem::remove(compatible);
        return;
    }
    const Fd property(compatible, O_WRONLY | O_CREAT | O_TRUNC);
    const auto bytes = static_cast<ssize_t>(strings.size());
    check(write(property.fd, strings.data(), strings.size()) == bytes, "write " + compatible);
}

std::vector<uint32_t> BoardImage::page(uint64_t phys) const
{
    std::vector<uint32_t> words(page_words);
    const Fd image(path, O_RDONLY);
    const auto bytes = static_cast<ssize_t>(words.size() * sizeof words[0]);
    check(pread(image.fd, words.data(), bytes, static_cast<off_t>(phys)) == bytes, "read " + path);
    return words;
}

Result run_command(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                   const Scratch &scratch)
{
    const std::string out = scratch.file("stdout");
    const std::string err = scratch.file("stderr");
    std::vector<char *> cargv = c_strings(argv);
    std::vector<std::string> vars(env);
    if (std::none_of(env.begin(), env.end(), [](const std::string &v) { return v.starts_with("PATH="); }))
        vars.emplace_back("PATH=/usr/bin:/bin");
    std::vector<char *> cenv = c_strings(vars);

    const pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
            _exit(126);
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    int status = 0;
    check(waitpid(pid, &status, 0) == pid, "waitpid");
    Result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

FaultRun run_with_faults(const Scratch &scratch, const BoardImage &image,
                         const std::vector<std::string> &args, const std::vector<std::string> &env)
{
    const std::string log = scratch.file("calls.log");
    const std::string preload = "LD_PRELOAD=" + setting("TEST_FAULTS", FAULTS_PATH);
    // An emulator hands its own environment on to the guest, all but the
    // preload, which would otherwise be loaded into the emulator itself.
    std::vector<std::string> argv = words(setting("TEST_LAUNCHER", ""));
    const bool emulated = !argv.empty();
    if (emulated)
        argv.insert(argv.end(), {"-E", preload});
    argv.push_back(tool_path());
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> vars(env);
    for (const std::string &fallback :
         {"SIMBOARD_IMAGE=" + image.path, "SIMBOARD_COMPATIBLE=" + image.compatible, "SIMBOARD_LOG=" + log}) {
        const std::string name = fallback.substr(0, fallback.find('=') + 1);
        if (std::none_of(env.begin(), env.end(), [&](const std::string &v) { return v.starts_with(name); }))
            vars.push_back(fallback);
    }
    if (!emulated)
        vars.push_back(preload);
    unlink(log.c_str());
    FaultRun run;
    run.result = run_command(argv, vars, scratch);
    run.calls = read_calls(log);
    return run;
}

uint64_t number(const std::string &text)
{
    return text == "(nil)" ? 0 : std::strtoull(text.c_str(), nullptr, 0);
}
