// SPDX-License-Identifier: MIT
#include "testutil.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace testutil {

scratch_dir::scratch_dir()
{
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/velkor-test.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

scratch_dir::~scratch_dir()
{
    std::error_code ec;
    // Tests may leave read-only directories behind; make them writable first.
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::vector<std::string> scratch_dir::entries() const { return entries_of(path_); }

std::vector<std::string> entries_of(const std::string &dir)
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string full_device(const scratch_dir &dir)
{
    struct stat sys;
    if (stat("/dev/full", &sys) != 0 || !S_ISCHR(sys.st_mode))
        return {};
    std::string twin = dir / "full";
    return mknod(twin.c_str(), S_IFCHR | 0666, sys.st_rdev) == 0 ? twin : std::string();
}

void drop_privileges()
{
    if (geteuid() != 0)
        return;
    if (setgroups(0, nullptr) != 0 || setgid(unprivileged_id) != 0 || setuid(unprivileged_id) != 0)
        _exit(126);
}

void give_away(const std::string &path)
{
    if (geteuid() == 0 && lchown(path.c_str(), unprivileged_id, unprivileged_id) != 0)
        throw std::runtime_error("cannot give " + path + " away");
}

std::string sys_msg(int err) { return strerror(err); }

const char *address_limit_unusable()
{
#if defined(VELKOR_SANITIZE)
    return "the sanitizers reserve more address space than the limit";
#elif defined(VELKOR_CROSS)
    return "an emulator reserves more address space than the limit";
#else
    const char *preload = getenv("LD_PRELOAD");
    if (preload != nullptr && strstr(preload, "vgpreload") != nullptr)
        return "Valgrind reserves more address space than the limit";
    return nullptr;
#endif
}

const char *signal_not_as_the_kernels(int sig)
{
#if defined(VELKOR_CROSS)
    if (sig == SIGRTMAX)
        return "an emulator keeps the highest real-time signals";
#else
    const char *preload = getenv("LD_PRELOAD");
    if (preload != nullptr && strstr(preload, "vgpreload") != nullptr) {
        if (sig == SIGRTMAX)
            return "Valgrind keeps the highest real-time signal";
        if (sig == SIGSTKFLT)
            return "Valgrind ignores SIGSTKFLT by default";
    }
#endif
    return nullptr;
}

bool sanitized()
{
#if defined(VELKOR_SANITIZE)
    return true;
#else
    return false;
#endif
}

void limit_address_space(uint64_t most)
{
    if (address_limit_unusable() != nullptr)
        return;
    const rlimit rl{most, most};
    setrlimit(RLIMIT_AS, &rl);
}

bytes read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + path);
    return bytes(std::istreambuf_iterator<char>(f), {});
}

void write_file(const std::string &path, const bytes &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string &path)
{
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

bytes forged_headers(size_t count, uint32_t claim)
{
    bytes img(count * 20);
    for (size_t k = 0; k < count; k++) {
        uint8_t *h = img.data() + 20 * k;
        memcpy(h, "bgn", 3);
        h[11] = 0xB1;
        const uint32_t len = claim != 0 ? claim : static_cast<uint32_t>(img.size() - 20 * k);
        for (int i = 0; i < 4; i++)
            h[12 + i] = static_cast<uint8_t>(len >> (24 - 8 * i));
    }
    return img;
}

bytes random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    bytes b(n);
    for (auto &x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

bytes to_bytes(const std::string &s) { return bytes(s.begin(), s.end()); }

namespace {

// In a child: the pipe whose read end becomes standard input, with a
// grandchild writing `input` into it.
void feed_stdin(const bytes &input)
{
    int p[2];
    if (pipe(p) != 0)
        _exit(125);
    const pid_t writer = fork();
    if (writer == 0) {
        // Hold nothing the test waits on but the pipe itself.
        close(p[0]);
        close(1);
        close(2);
        size_t at = 0;
        while (at < input.size()) {
            const ssize_t n = write(p[1], input.data() + at, input.size() - at);
            if (n <= 0)
                _exit(1); // the reader stopped early: fine
            at += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(p[1]);
    dup2(p[0], 0);
    close(p[0]);
}

void exec_args(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

} // namespace

started start(const std::vector<std::string> &argv, const std::function<void()> &in_child)
{
    int p[2];
    if (pipe(p) != 0)
        throw std::runtime_error("pipe failed");
    started s;
    s.pid = fork();
    if (s.pid < 0)
        throw std::runtime_error("fork failed");
    if (s.pid == 0) {
        // The signals a test sends must act, whatever the test inherited.
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
            signal(sig, SIG_DFL);
        if (in_child)
            in_child();
        close(p[1]);
        dup2(p[0], 0);
        close(p[0]);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        exec_args(argv);
    }
    close(p[0]);
    s.stdin_fd = p[1];
    return s;
}

int wait_for(const started &s)
{
    if (s.stdin_fd >= 0)
        close(s.stdin_fd);
    int ws = 0;
    waitpid(s.pid, &ws, 0);
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
}

result run(const std::vector<std::string> &argv, const std::function<void()> &in_child,
           const bytes *input)
{
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[0]);
        close(err_pipe[1]);
        if (input != nullptr) {
            feed_stdin(*input);
        } else {
            int devnull = open("/dev/null", O_RDONLY);
            if (devnull >= 0)
                dup2(devnull, 0);
        }
        if (in_child)
            in_child();
        exec_args(argv);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    result r;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&r.out, &r.err};
    int open_fds = 2;
    while (open_fds > 0) {
        if (poll(fds, 2, -1) < 0)
            continue;
        for (int k = 0; k < 2; k++) {
            if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP)))
                continue;
            char chunk[4096];
            ssize_t n = read(fds[k].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[k]->append(chunk, static_cast<size_t>(n));
            } else {
                close(fds[k].fd);
                fds[k].fd = -1;
                open_fds--;
            }
        }
    }
    int ws = 0;
    waitpid(pid, &ws, 0);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    return r;
}

void limit_file_size(uint64_t limit)
{
    signal(SIGXFSZ, SIG_IGN);
    rlimit rl{limit, limit};
    setrlimit(RLIMIT_FSIZE, &rl);
}

} // namespace testutil
