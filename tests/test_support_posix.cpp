// The parts of the test helpers that need POSIX: running programs and
// forked children with their output captured, and asking the private DNS
// responder for its counts.
#include "test_support.h"

#include "dns/stats_file.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sched.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

// Reads both pipes until the child closes them, then reaps it.
RunResult collect_child(pid_t pid, int out_fd, int err_fd)
{
    RunResult result;
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[65536];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            } else {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// Forks with standard output and error going to two pipes; in the child it
// runs child_body, which must not return.
RunResult fork_and_collect(const std::function<void()> &child_body)
{
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        throw std::runtime_error("pipe failed");
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[1]);
        child_body();
        _exit(0);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    return collect_child(pid, out_pipe[0], err_pipe[0]);
}

} // namespace

RunResult run_in_child(const std::function<void()> &body)
{
    return fork_and_collect([&body] {
        body();
        std::fflush(stdout);
        _exit(0);
    });
}

RunResult run_program(const std::string &program, const std::vector<std::string> &arguments,
                      const std::string &working_directory, const std::string &input_file)
{
    return fork_and_collect([&] {
        // Outside the private DNS namespace (netns-run sets TARN_DNS_PID) a
        // test that looked something up by mistake would ask the machine's
        // nameserver. In a network namespace of its own the program has no
        // network at all, so such a lookup fails at once and shows in the
        // test instead. Unprivileged runs cannot make one and go on as
        // they are.
        if (std::getenv("TARN_DNS_PID") == nullptr)
            (void)unshare(CLONE_NEWNET);
        if (!working_directory.empty() && chdir(working_directory.c_str()) != 0)
            _exit(126);
        if (!input_file.empty()) {
            const int input = open(input_file.c_str(), O_RDONLY);
            if (input < 0 || dup2(input, STDIN_FILENO) < 0)
                _exit(125);
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const std::string &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    });
}

std::map<std::string, long> server_stats()
{
    const char *pid = std::getenv("TARN_DNS_PID");
    const char *file = std::getenv("TARN_DNS_STATS");
    if (pid == nullptr || file == nullptr || *file == '\0')
        return {};
    std::filesystem::remove(file);
    kill(static_cast<pid_t>(std::atol(pid)), SIGUSR1);
    for (int i = 0; i < 200 && !std::filesystem::exists(file); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return read_stats_file(file);
}
